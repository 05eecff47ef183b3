// --info: the card's kind, registers and what they say, instead of the browser.
#pragma once

class Card;

// Reads OCR, CID and CSD of the initialised card and prints them decoded;
// exit status 0 when all three were read, 1 otherwise.
int show_card_info(Card& card);
