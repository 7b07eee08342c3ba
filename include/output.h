// The run's output streams whose loss must fail it: the table on standard output, the result
// CSV file and the memory report. Their flushes and closes go through here; the first write
// error of each is kept and reported once at the end of the run.
#ifndef OXCL_BENCHMARK_OUTPUT_H_
#define OXCL_BENCHMARK_OUTPUT_H_

#include <cstdio>
#include <string>

namespace oxcl_benchmark {

// Names an output for its error line ("the result CSV file out.csv"); standard output is
// known already.
void NameOutput(FILE* file, const std::string& name);
// Flushes `file` and keeps its first write error; false once the file has lost data.
bool FlushOutput(FILE* file);
// Flushes and closes `file`, keeping its first error; the name stays for the report.
bool CloseOutput(FILE* file);
// Logs one Error line, "Cannot write NAME: REASON", for each output that lost data and was not
// reported before; true when any output ever lost data.
bool ReportLostOutput();
// A standard stream that the caller left closed gets /dev/null opened for reading, so that
// files opened later cannot take its number (the table would land in the CSV file) and writes
// to it fail and are reported instead of vanishing.
void GuardStandardStreams();

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_OUTPUT_H_
