// K-minimum-values sketch: the K numerically smallest distinct fingerprints
// seen, with their counters and ratios, and the estimators built on them.
#ifndef DEZEVAZIR_SKETCH_DC_KHEAP_H_
#define DEZEVAZIR_SKETCH_DC_KHEAP_H_

#include <atomic>
#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <istream>
#include <ostream>
#include <queue>
#include <set>
#include <vector>

#include "sketch/dc_hash_and_ratio.h"

// A max-heap by fingerprint: the top is the first candidate for eviction.
// The set holds the same pointers, for lookup by fingerprint.
class DCKHeap
    : public std::priority_queue<DCHashAndRatio*, std::vector<DCHashAndRatio*>, DCHashAndRatioComparator> {
 public:
  explicit DCKHeap(uint64_t capacity);
  virtual ~DCKHeap();
  DCKHeap(const DCKHeap&) = delete;
  DCKHeap& operator=(const DCKHeap&) = delete;

  // Would e be kept? Counts a sighting of an already stored fingerprint.
  // Locks the mutex. A capacity of 0 keeps nothing.
  bool probe(DCHashAndRatio* e);
  // Offers e; takes ownership (e is freed unless stored). Locks the mutex.
  void insert(DCHashAndRatio* e);
  // Offers every entry of batch, as insert would, if the mutex is free at
  // once; then empties batch and returns true. False, batch untouched,
  // while another thread holds the mutex. With `dropped`, the entries that
  // insert would free (refused ones and evicted ones) are added to it
  // instead, for the caller to reuse or free.
  bool tryInsertAll(std::vector<DCHashAndRatio*>& batch, std::vector<DCHashAndRatio*>* dropped = nullptr);
  // True when a fingerprint is certainly above the top of a full sketch, so
  // that offering it would only drop it. Does not lock: lets the scan skip
  // the entry and the mutex for most offers. False when unsure.
  bool surelyAbove(const std::vector<unsigned char>& fingerprint) const;
  // Copies e's ratio into the stored entry with the same fingerprint.
  void setRatio(const DCHashAndRatio* e);
  void setRatioAll(double r);
  // Frees every entry; capacity and cached ratio stay.
  void clear();
  // Sets the capacity (a negative n counts as 0). A capacity below the
  // current count frees the largest entries, so the sketch never holds more
  // than K.
  void setSize(int n);
  // Entry pointers sorted ascending by fingerprint; still owned by the sketch.
  std::vector<DCHashAndRatio*> getVector() const;
  // One line per entry, ascending: hex fingerprint, [ratio,] counter.
  void print(std::ostream& os, bool withRatio) const;
  // hashLength bytes as lower-case hex pairs, no separator.
  void printHash(std::ostream& os, const std::vector<unsigned char>& bytes) const;
  // How reading entry lines back ended.
  enum class LoadResult {
    kComplete,    // count entry lines were read
    kEnded,       // the stream ended first; every line read was an entry
    kDamaged,     // a line is no entry line (or too long for one); reading stopped there
    kUnreadable,  // the stream could not be read
    kUnordered,   // fingerprints not strictly ascending (a duplicate, or lines moved)
    kExtra,       // more lines after the count entry lines
  };
  // Reads up to count entry lines back (sketch-file format). The capacity
  // becomes count. Entries read before a damaged or unreadable line stay in
  // the sketch; the caller decides what a file that ends early is worth.
  // With wholeFile, the stream must end right after the count lines.
  // counterSum, when given, receives the sum of the counters of the lines
  // read. (Defined with the sketch-file reader, in the sketch-file library.)
  LoadResult load(std::istream& is, uint64_t count, bool freshStart, bool wholeFile = false,
                  uint64_t* counterSum = nullptr);

  // Estimators. -1.0 means "cannot be estimated".
  double getUniqueEstimation() const;
  double getUniqueEstimationAfterSplit(uint64_t notZero) const;
  double getCompressionRatio(bool useCached) const;
  double getDedupRatio(uint64_t x, uint64_t y) const;
  double getDedupRatioAfterSplit(uint64_t x, uint64_t y) const;
  // Overheads in blocks, from the small-zero (a), big-zero (b) and not-zero
  // (c) counters. Where the distinct count is unavailable they take it as c.
  uint64_t getMetadataDROverhead(uint64_t a, uint64_t b, uint64_t c) const;
  uint64_t getPaddingOverhead(uint64_t a, uint64_t b, uint64_t c) const;
  // Floored at 0.
  uint64_t getReservedVolOverhead(uint64_t a, uint64_t b, uint64_t c) const;
  // Signed: goes below zero on mostly unique data, and the report adds it.
  int64_t getMetadataCROverhead(uint64_t a, uint64_t b, uint64_t c) const;

  uint64_t getCapacity() const { return capacity_; }
  size_t numEntries() const { return this->c.size(); }
  boost::mutex& getMutex() { return mutex_; }

  // The capacity the sketch had while it was filled: one holding fewer
  // entries never dropped a fingerprint, and its entry count is exact. The
  // constructor's capacity; a load that can tell from the counters whether
  // the file's sketch ever dropped one sets it (see DSCore::init).
  uint64_t fillCapacity;
  // For a sketch read back from a file, which does not say which capacity
  // its sketch had: its counters tell whether it ever dropped a
  // fingerprint. Every sighting of a not-zero block is in some entry's
  // counter unless its fingerprint was dropped or evicted, so they add up to
  // the not-zero blocks exactly when nothing was dropped (the count is then
  // exact), and fall short when something was (the sketch was full: its
  // capacity is its entry count). A saturated counter (255) also falls
  // short; then the file cannot tell, and fillCapacity stays as it is.
  void judgeFillFromCounters(uint64_t notZero);

  // Totals of partial-scan inputs; only the merge fills them.
  uint64_t partialBlocks = 0;
  uint64_t partialZeroBlocks = 0;
  uint64_t partialCompressedBlocks = 0;

 private:
  // insert's work under the mutex; returns the entry to free, if any.
  DCHashAndRatio* insertLocked(DCHashAndRatio* e);
  // Pops the largest entry from heap and set and frees it.
  void evictTop();
  // Pops the largest entry from heap and set; the caller frees it.
  DCHashAndRatio* detachTop();
  // Refreshes topPrefix_; the caller holds the mutex or sole access.
  void publishTop();
  // The split-adjusted distinct count as an unsigned block count; c when
  // it cannot be estimated.
  uint64_t uniqueAfterSplitBlocks(uint64_t c) const;

  // A node of the lookup set carries its entry's key, so that a lookup
  // walks the tree without visiting the entries: the first eight bytes
  // nearly always decide, and the entries lie elsewhere in memory.
  struct Slot {
    uint64_t key;  // 0 where the key does not order fingerprints
    DCHashAndRatio* entry;
  };
  struct SlotLess {
    bool operator()(const Slot& a, const Slot& b) const {
      if (a.key != b.key) return a.key < b.key;
      return DCHashAndRatioComparator()(a.entry, b.entry);
    }
  };
  static Slot slotOf(DCHashAndRatio* e);

  boost::mutex mutex_;
  std::set<Slot, SlotLess> set_;
  uint64_t capacity_;
  double cachedRatio_ = -1.0;
  // First eight bytes (big-endian) of a full sketch's top; all ones when
  // not full. While the sketch is full its top only goes down, so a reader
  // that sees an older value errs on the safe side.
  std::atomic<uint64_t> topPrefix_{~uint64_t{0}};
};

#endif  // DEZEVAZIR_SKETCH_DC_KHEAP_H_
