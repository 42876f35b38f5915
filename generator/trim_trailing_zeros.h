#pragma once

// Removes, in place, the zeros that end the fractional part of every decimal number in the
// text, and the point too when only zeros followed it: '10.000000Hz' becomes '10Hz',
// '4095.500000' becomes '4095.5', '1.0.0' becomes '1'.
void trim_trailing_zeros(char *text);
