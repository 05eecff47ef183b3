// The program's one fixed sequence: banner, port access, card
// initialisation, sector browser, power-down, closing report.
#pragma once

// Runs the sequence on the selected port; returns the exit status.
int run_session();
