// repl.h - the interactive prompt (libreadline line editing and history).
#pragma once

#include "runner.h"

namespace kestrix::cli {

// Reads statements at a "kestrix> " prompt until \q or end of input. History
// is kept in ~/.kestrix_history. Returns the exit status: 0, or 2 when the
// connection was lost.
int run_interactive(Runner& runner);

}  // namespace kestrix::cli
