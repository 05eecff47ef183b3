// The sector browser: reads sectors one after another or by number, as keys
// and entries on the console ask, and shows each as a hex dump.
#pragma once

class Card;
class Operator;

// Runs until E, e, Escape or the end of input; returns the exit status.
int browse_sectors(Card& card, Operator& console);
