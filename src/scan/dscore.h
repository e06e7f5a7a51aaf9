// The scan engine: one object per scan, partial scan or load (and one per
// merge input). It sizes and opens the source, resumes from an earlier sketch
// or recovery file, consumes the read workers' chunks, classifies and counts
// blocks, has the kept entries' ratios measured, saves the sketch file and
// prints the report.
#ifndef DEZEVAZIR_SCAN_DSCORE_H_
#define DEZEVAZIR_SCAN_DSCORE_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class DCKHeap;
class DCLogger;
class DCCompr;
class DCProgressBar;
struct hashReq;
struct readReq;

class DSCore {
 public:
  DCKHeap* heap;                       // the scan's sketch, owned
  std::atomic<uint32_t> activeReaders;  // read workers still running
  DCLogger* logger;                    // the sketch-file record, owned
  uint64_t blockSize;
  uint64_t recoverBlocks;
  DCCompr* compr;                      // owned
  int fd;                              // source held open while the engine lives; 0 while not open
  int status;                          // -1 constructing, 0 ready, 1 scanning, 2 unusable
  std::vector<uint64_t> zeroRuns;      // per read worker: trailing run of zero blocks
  uint64_t devSize;                    // bytes
  std::string devName;
  unsigned char extraBytes[2];         // appended to hashed data when randomBytes is set
  uint32_t sectorSize;                 // logical block size of the source: the unit of direct reads
  std::string sizeError;               // why get_dev_size found no size
  bool completedResult = false;        // the sketch file already holds this source's whole scan
  bool interrupted = false;            // a signal stopped the scan; its state went to the recovery file
  bool saveFailed = false;             // a recovery point or the final save could not be written

  // blockSize, hashSize and recoverBlocks come from the int settings;
  // randomBytes seeds the two extra bytes; input is the source name (may be
  // empty for a load or a merge), sketch the sketch file name.
  DSCore(uint64_t blockSize, uint64_t hashSize, uint64_t recoverBlocks, uint32_t randomBytes,
         const std::string& input, const std::string& sketch);
  virtual ~DSCore();
  DSCore(const DSCore&) = delete;
  DSCore& operator=(const DSCore&) = delete;

  // Sizes and opens the source, reads back an earlier record and its sketch.
  // True exactly when an earlier record and its sketch were read back.
  bool init(const std::string& name);

  // Size in bytes of the named source, or -1 with the reason in sizeError.
  // Only regular files and block devices have a size. Sets sectorSize.
  int64_t get_dev_size(const std::string* name);

  // Says on standard error what a scan makes of the record it read back:
  // a resume, a completed result of the source as it is (completedResult),
  // or a completed result of a source that has since changed size (false:
  // the scan starts over).
  bool sayReuse();

  // Why the recovery state read back does not fit this run (another source
  // size or setting, counters beyond the source, a position outside its
  // worker's share), or empty when the scan can resume from it.
  std::string resumeProblem() const;

  // Takes ownership of a merged record and sketch, dropping the engine's own.
  void setValsFromMerge(DCLogger* mergedLogger, DCKHeap* mergedHeap);

  // The consuming side of a full scan, on the driver's thread while the
  // pipeline workers run. True when any byte was accounted.
  bool scan(DCProgressBar* pb);

  // Classifies one block of read worker w at source offset pos; queues a
  // copy of a not-zero block for fingerprinting. Always true.
  bool processBlock(const unsigned char* data, int len, uint64_t total, int64_t pos, int w);

  // Measures the ratio of every kept entry that has none (final: also ends
  // the compression workers). The caller holds the sketch's mutex.
  bool getCMP(bool final);

  // Report (implemented with the report): with print false only returns the
  // data-reduction ratio.
  double printReport(double cr, bool print) const;
  // Pessimistic partition load in blocks; 64-bit so large sources do not wrap.
  int64_t getGrossPartitionLoad() const;
  // Records a partial scan's result in the record and saves it; false when
  // the save failed (logger->lastError says why).
  bool setPartialVals(float ratio);

 private:
  // Queues the hash requests that processBlock collected for the current
  // chunk, all at once.
  void flushHashBatch();
  // Accounts a block of read worker w that could not be read: in no block
  // counter, but in the record's unreadable count.
  void accountUnreadable(int64_t pos, int w);

  // The chunk whose blocks scan is handing to processBlock: not-zero blocks
  // go to the hash workers as references into it instead of copies.
  readReq* chunk_ = nullptr;
  std::vector<hashReq*> hashBatch_;
};

// The engine of the current run and its sketch; the pipeline workers reach
// them only through these.
extern DSCore* gScn;
extern DCKHeap* TopHashes_;

#endif  // DEZEVAZIR_SCAN_DSCORE_H_
