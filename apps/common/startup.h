// What every program does first, before it opens any file: a process that a
// careless shell or a closed pipe started in a strange state still records
// and reports faithfully.
#pragma once

namespace apps {

// Standard input, output and error are made valid (/dev/null where one was
// closed), so no file opened later takes their numbers and receives Qt's
// warnings; and a write to a pipe whose reader has gone fails with an error
// the program reports instead of killing it.
void PrepareProcess();

} // namespace apps
