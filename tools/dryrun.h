// nrvdry: runs exports of a setup library on the simulated machine and
// reports what they changed. RunDryRun is the whole program; main() only
// passes it the command line.
#ifndef NRV_TOOLS_DRYRUN_H
#define NRV_TOOLS_DRYRUN_H

#include <ostream>
#include <string>
#include <vector>

// `args` without the program name. The report goes to `out`, problems to
// `err`. Returns 0 after a run, 2 for bad input (nothing is run), 1 when
// the run itself could not be done (a library that does not load, a report
// folder that cannot be written).
int RunDryRun(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

#endif
