// The merge engine: checks the sketch files of several sources, merges the
// full scans' sketches into one sketch of the scan capacity, adds up their
// block counters (folding partial scans in as totals of their own) and
// writes the result as a sketch file of kind "merge".
#ifndef DEZEVAZIR_MERGE_DM_CORE_H_
#define DEZEVAZIR_MERGE_DM_CORE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "sketch/key_sample.h"

class DCKHeap;
struct MergeOverlap;
class DCLogger;

class DMCore {
 public:
  // Keeps each input name whose file can be opened for reading, in order;
  // the others are dropped silently (the command line already refused them).
  DMCore(const std::vector<std::string>& inputs, const std::string& output);
  // Frees the input records, and the output record and merged sketch unless
  // they were handed over (set to null by whoever took them).
  virtual ~DMCore();
  DMCore(const DMCore&) = delete;
  DMCore& operator=(const DMCore&) = delete;

  // Checks every input, warns of any that counts a source twice (standard
  // error and warnings), then merges the full scans' sketches. Ends the
  // process with 128 on an unusable input and with 129 when none is left.
  void merge();
  // Checks one input and adds its record when usable: 0 when added or left
  // out (mergeall), 2 when unusable (the reason is already printed).
  int initOneFile(const std::string& path);
  // Reads an input checked by initOneFile again and offers its entries to
  // mergedSketch, checking every line as a load checks it. False (the
  // reason on standard error) when the input cannot be used.
  bool offerInput(DCLogger& rec);
  // initOneFile for a regular file, else 0.
  int processOneInputEntry(const std::string& path);
  // 1 regular file, 2 directory, 4 block device, 0 otherwise or on error. A
  // symbolic link is judged by what it points to.
  unsigned getType(const std::string& path) const;
  // Smallest declared sketch size among the full-scan inputs; 0 if none.
  // The merge itself does not use it: its sketch takes the run's --hashSize,
  // and inputs of other sizes are read as they are.
  uint64_t getMinHeapSize() const;
  // Fills the output record from the inputs and the merged sketch and saves
  // it; false when the save failed (outputRecord->lastError says why).
  bool report();
  // After merge() with keepSamples: how the full-scan inputs overlap, from
  // their own sketches, and with groups > 0 a split into that many groups
  // (at most the number of full-scan inputs). Frees the samples.
  void compareInputs(std::size_t groups, MergeOverlap& out);
  // The full-scan inputs among the input records.
  std::size_t fullScanInputs() const;

  std::vector<std::string> inputPaths;
  std::vector<DCLogger*> inputRecords;  // owned
  DCLogger* outputRecord;               // owned until handed over
  DCKHeap* mergedSketch;                // created by merge(); owned until handed over
  bool hasPartialInputs = false;        // set by report()
  // Inputs that count a source twice, as merge() printed them.
  std::vector<std::string> warnings;
  // Set before merge(): keep every full-scan input's sketch keys while
  // merging (about 8 bytes an entry), for compareInputs.
  bool keepSamples = false;
  std::vector<KeySample> inputSamples;  // one per input record; empty for partial scans
};

#endif  // DEZEVAZIR_MERGE_DM_CORE_H_
