// The program's one fixed sequence: banner, port access, card
// initialisation, the work (the sector browser or a mode), power-down,
// closing report.
#pragma once

#include "modes/mode_run.h"

// Runs the sequence with card; on the selected port when uses_port, else
// the card's link holds its own adapter and no port is taken. Returns the
// exit status. The modes reach the user through console.
int run_session(Card& card, const CardWork& work, bool uses_port, Operator& console);
