// edfinfo --anonymize: de-identifies files in place or into copies, reports what it replaced
// and writes the archive's key file.
#pragma once

// True when the arguments (after the program name) ask for --anonymize.
bool wants_anonymize_mode(int argc, const char *const *argv);

// Runs the mode over the arguments (after the program name). Returns the exit status: 0 when
// every file was de-identified, 1 when one failed (the others are still done) or the key file
// cannot be written, 2 for bad usage.
int run_anonymize_mode(int argc, const char *const *argv);
