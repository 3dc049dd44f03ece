// UpdateProgramManually: uploads a board's application firmware through its
// bootloader's serial port, with the user's help for the double tap.
#include "upload.h"

int main() { return run_upload(); }
