// The one run configuration record. Every subsystem reads its settings from
// myGlobals; the command line (and each batch-file line) fills it.
#ifndef DEZEVAZIR_BASE_RUN_GLOBALS_H_
#define DEZEVAZIR_BASE_RUN_GLOBALS_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Shown in the help caption and in the run log's start line.
constexpr int kBuildNumber = 153;

struct RunGlobals {
  std::string version = "1.03";
  int blockSize = 8192;
  bool altHash = false;
  int readChunkBlocks = 128;
  int segmentSize = 16777216;
  int maxNumSamples = 3400;
  int hashLength = 20;
  int hashSize = 50000;
  int sha1Words = 5;
  int progressBarWidth = 20;
  int spinnerPhases = 4;
  int recoverBlocks = 100000;
  int metaWeightZero = 25;
  int metaWeightUnique = 80;
  int metaWeightDup = 90;
  int randomBytes = 0;
  unsigned maxMBPs = 0;
  unsigned loglevel = 3;
  unsigned threads = 10;
  unsigned updatebw = 10;
  unsigned minSecsRecovery = 1800;
  // Run counters: incremented atomically by the workers.
  std::atomic<unsigned> samplesCompressed{0};
  std::atomic<unsigned> samplesZero{0};
  std::atomic<unsigned> cmpRequestsDone{0};
  std::atomic<unsigned> readsIssued{0};
  std::atomic<unsigned> sha1Done{0};
  unsigned storagever = 1202;
  std::string batchfile;
  std::string input;
  std::string sketch;
  uint64_t machineBlocks = (57ULL << 40) / 8192;
  int machineSize = 57;
  int partitionParam = 6161;
  uint64_t partitionBytes = 103ULL << 30;
  std::string command = "scan";
  int paddingDivisor = 262144 / 8192;
  int readcmpRequestsMaxQ = 2;
  int readRequestsMaxQ = 10;
  int hashRequestsMaxQ = 500;
  bool mergeall = false;
  bool json = false;  // the run's report as one JSON object
  int groups = 0;     // a merge's split of its sources into this many groups; 0 none
  std::string html;   // the file of the run's HTML page; empty: none
  float mergeAllThreshold = 0.9f;

  // Writes the initial values back (counters to 0, derived values
  // recomputed), leaving sketch and batchfile as they are.
  void resetForNextLine();
};

extern RunGlobals myGlobals;

// Merge input file names, filled from option mergefiles.
extern std::vector<std::string> vecInp;

#endif  // DEZEVAZIR_BASE_RUN_GLOBALS_H_
