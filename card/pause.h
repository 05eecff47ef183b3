// Blocking pause in milliseconds that sleeps its full length.
#pragma once

void mmc_pause_ms(unsigned ms);
