// Print widths: the decimals a value gets in a field of given width, shared by
// the tables of every stage (time columns, score columns, quartile formats).
#pragma once

// Number of decimals with which value prints in a field of `width`
// characters, one character kept for a sign; 0 for a missing or infinite
// value, at most 8.
int zpfmt(double value, int width);
