#include "sketch/dc_kheap.h"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/lock_types.hpp>
#include <iterator>

#include "base/run_globals.h"

DCKHeap::DCKHeap(uint64_t capacity) : fillCapacity(capacity), capacity_(capacity) {}

DCKHeap::~DCKHeap() {
  for (DCHashAndRatio* e : c) delete e;
}

bool DCKHeap::probe(DCHashAndRatio* e) {
  boost::lock_guard<boost::mutex> lock(mutex_);
  const size_t n = c.size();
  if (n >= capacity_) {
    if (n == 0) return false;  // capacity 0: no top, nothing is kept
    // Full: the common case is a fingerprint above the top, which cannot be
    // stored, so answer it from the top alone. Equal to the top means it is
    // the top: count the sighting.
    DCHashAndRatio* top = c.front();
    if (comp(top, e)) return false;
    if (!comp(e, top)) {
      top->incrementRefCounter();
      return false;
    }
  }
  auto it = set_.find(slotOf(e));
  if (it != set_.end()) {
    it->entry->incrementRefCounter();
    return false;
  }
  return true;
}

namespace {

// Whether the first eight bytes order fingerprints: the comparator looks at
// that many only when both the run's length and the bytes at hand have them.
bool keyDecides(const std::vector<unsigned char>& hash) {
  return myGlobals.hashLength >= 8 && hash.size() >= 8;
}

}  // namespace

DCKHeap::Slot DCKHeap::slotOf(DCHashAndRatio* e) {
  return Slot{keyDecides(e->hash) ? e->key() : 0, e};
}

bool DCKHeap::surelyAbove(const std::vector<unsigned char>& fingerprint) const {
  return keyDecides(fingerprint) &&
         DCHashAndRatio::keyOf(fingerprint) > topPrefix_.load(std::memory_order_relaxed);
}

void DCKHeap::publishTop() {
  const bool full = capacity_ > 0 && c.size() >= capacity_;
  const uint64_t p = full && keyDecides(c.front()->hash) ? c.front()->extractHashAsULong() : ~uint64_t{0};
  topPrefix_.store(p, std::memory_order_relaxed);
}

void DCKHeap::insert(DCHashAndRatio* e) {
  // Entries are freed after the mutex is released: other offers wait on it.
  DCHashAndRatio* dropped;
  {
    boost::lock_guard<boost::mutex> lock(mutex_);
    dropped = insertLocked(e);
  }
  delete dropped;
}

bool DCKHeap::tryInsertAll(std::vector<DCHashAndRatio*>& batch, std::vector<DCHashAndRatio*>* dropped) {
  boost::unique_lock<boost::mutex> lock(mutex_, boost::try_to_lock);
  if (!lock.owns_lock()) return false;
  for (DCHashAndRatio*& e : batch) e = insertLocked(e);
  lock.unlock();
  for (DCHashAndRatio* e : batch) {
    if (e == nullptr) continue;
    if (dropped != nullptr) {
      dropped->push_back(e);
    } else {
      delete e;
    }
  }
  batch.clear();
  return true;
}

DCHashAndRatio* DCKHeap::insertLocked(DCHashAndRatio* e) {
  const size_t n = c.size();
  const bool full = n >= capacity_;
  if (full && (n == 0 || comp(c.front(), e))) return e;
  const Slot slot = slotOf(e);
  auto hint = set_.lower_bound(slot);
  if (hint != set_.end() && !set_.key_comp()(slot, *hint)) {
    hint->entry->incrementRefCounter();
    return e != hint->entry ? e : nullptr;
  }
  DCHashAndRatio* dropped = nullptr;
  if (full) {
    // e is below the top; the hint may be the top itself, which goes.
    if (hint == std::prev(set_.end())) hint = set_.end();
    dropped = detachTop();
  }
  set_.insert(hint, slot);
  push(e);
  publishTop();
  return dropped;
}

DCHashAndRatio* DCKHeap::detachTop() {
  DCHashAndRatio* top = c.front();
  // The heap's top is the set's largest element.
  set_.erase(std::prev(set_.end()));
  pop();
  return top;
}

void DCKHeap::evictTop() { delete detachTop(); }

void DCKHeap::setRatio(const DCHashAndRatio* e) {
  const Slot slot = slotOf(const_cast<DCHashAndRatio*>(e));
  auto it = set_.lower_bound(slot);
  if (it != set_.end() && !set_.key_comp()(slot, *it)) it->entry->ratio = e->ratio;
}

void DCKHeap::setRatioAll(double r) { cachedRatio_ = r; }

void DCKHeap::clear() {
  for (DCHashAndRatio* e : c) delete e;
  c.clear();
  set_.clear();
  publishTop();
}

void DCKHeap::setSize(int n) {
  capacity_ = n < 0 ? 0 : static_cast<uint64_t>(n);
  while (c.size() > capacity_) evictTop();
  publishTop();
}

std::vector<DCHashAndRatio*> DCKHeap::getVector() const {
  // The set is already in ascending order.
  std::vector<DCHashAndRatio*> v;
  v.reserve(set_.size());
  for (const Slot& s : set_) v.push_back(s.entry);
  return v;
}

void DCKHeap::print(std::ostream& os, bool withRatio) const {
  for (const Slot& s : set_) {
    const DCHashAndRatio* e = s.entry;
    printHash(os, e->hash);
    if (withRatio) os << ' ' << e->ratio;
    os << ' ' << e->refCounter << '\n' << std::flush;
  }
}

void DCKHeap::printHash(std::ostream& os, const std::vector<unsigned char>& bytes) const {
  static const char kDigits[] = "0123456789abcdef";
  const size_t len = myGlobals.hashLength > 0 ? static_cast<size_t>(myGlobals.hashLength) : 0;
  std::string text(2 * len, '0');
  for (size_t i = 0; i < len && i < bytes.size(); ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  os << text;
}
