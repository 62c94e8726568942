// Output lines of the board, driven through the sysfs GPIO interface.
//
// Lines are named by their kernel number; the board's lines are the gpio_*
// fields of the board description (board/board.h). Every call opens the control file
// it needs below `board.gpio_root`, writes one short text and closes it again,
// so calls for different lines never share a handle and take no lock.
#pragma once

// Makes the line appear as "<root>/gpio<N>". A line that is already exported,
// or a control file that cannot be written, is silently left as it is.
void gpio_export(int gpio);

// Removes the line's "<root>/gpio<N>" directory; failures are ignored.
void gpio_unexport(int gpio);

// Switches the line to output and drives it to `level` (0 or 1).
// Returns 0 on success,
//        -2 when the direction file cannot be opened or written (the level is
//           then not touched),
//        -3 when the value file cannot be opened or written.
int set_gpio_output(int gpio, int level);
