// K-minimum-values sketch: the K numerically smallest distinct fingerprints
// seen, with their counters and ratios, and the estimators built on them.
#ifndef DEZEVAZIR_SKETCH_DC_KHEAP_H_
#define DEZEVAZIR_SKETCH_DC_KHEAP_H_

#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <istream>
#include <ostream>
#include <queue>
#include <set>
#include <vector>

#include "sketch/dc_hash_and_ratio.h"

// A max-heap by fingerprint: the top is the first candidate for eviction.
class DCKHeap
    : public std::priority_queue<DCHashAndRatio*, std::vector<DCHashAndRatio*>, DCHashAndRatioComparator> {
 public:
  explicit DCKHeap(uint64_t capacity);
  virtual ~DCKHeap();
  DCKHeap(const DCKHeap&) = delete;
  DCKHeap& operator=(const DCKHeap&) = delete;

  // Would e be kept? Counts a sighting of an already stored fingerprint.
  bool probe(DCHashAndRatio* e);
  // Offers e; takes ownership.
  void insert(DCHashAndRatio* e);
  // Copies e's ratio into the stored entry with the same fingerprint.
  void setRatio(const DCHashAndRatio* e);
  void setRatioAll(double r);
  void clear();
  void setSize(int n);
  // Entry pointers sorted ascending by fingerprint; still owned by the sketch.
  std::vector<DCHashAndRatio*> getVector() const;
  void print(std::ostream& os, bool withRatio) const;
  void printHash(std::ostream& os, const std::vector<unsigned char>& bytes) const;
  // Reads up to count entry lines back (sketch-file format).
  void load(std::istream& is, uint64_t count, bool freshStart);

  // Estimators.
  double getUniqueEstimation() const;
  double getUniqueEstimationAfterSplit(uint64_t notZero) const;
  double getCompressionRatio(bool useCached) const;
  double getDedupRatio(uint64_t x, uint64_t y) const;
  double getDedupRatioAfterSplit(uint64_t x, uint64_t y) const;
  uint64_t getMetadataDROverhead(uint64_t a, uint64_t b, uint64_t c) const;
  uint64_t getPaddingOverhead(uint64_t a, uint64_t b, uint64_t c) const;
  uint64_t getReservedVolOverhead(uint64_t a, uint64_t b, uint64_t c) const;
  // Signed: goes below zero on mostly unique data, and the report adds it.
  int64_t getMetadataCROverhead(uint64_t a, uint64_t b, uint64_t c) const;

  uint64_t getCapacity() const { return capacity_; }
  size_t numEntries() const { return this->c.size(); }
  boost::mutex& getMutex() { return mutex_; }

  // Totals of partial-scan inputs; only the merge fills them.
  uint64_t partialBlocks = 0;
  uint64_t partialZeroBlocks = 0;
  uint64_t partialCompressedBlocks = 0;

 private:
  boost::mutex mutex_;
  std::set<DCHashAndRatio*, DCHashAndRatioComparator> set_;
  uint64_t capacity_;
  double cachedRatio_ = -1.0;
};

#endif  // DEZEVAZIR_SKETCH_DC_KHEAP_H_
