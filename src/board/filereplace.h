// Crash-safe replacement of a whole file: a power cut or a kill at any
// moment leaves either the old file or the complete new one, never an empty
// or a mixed one.
//
// The new content goes to a temporary file beside the target, named
// "<file>.tmp-" and six letters or digits; it is written and flushed to disk,
// renamed over the target in one step, and the directory is flushed so that
// the rename itself survives a power cut. A temporary file left behind by a
// kill is removed by the next replacement of the same file or by
// remove_replace_leftovers at start-up.
//
// Only one replacement of a given file may run at a time: each removes the
// temporaries it finds, including one another replacement is still writing
// (that one then fails and leaves the file as it was).
#pragma once

#include <cstddef>

// Replaces `file` by a file holding exactly the `len` bytes at `data`, with
// the mode the old file had (0600 when there was none). Failed steps are
// reported with perror.
// 0: the new file is in place and on disk.
// 1: nothing was renamed; `file` is exactly the old one and no temporary
//    file is left.
// 2: the new file is in place, but flushing the directory failed, so after a
//    power cut the old file may come back (complete, never mixed).
int replace_file(const char *file, const char *data, size_t len);

// Removes the temporary files a killed replacement of `file` left beside it
// (only names of the pattern above). Returns how many were removed.
int remove_replace_leftovers(const char *file);
