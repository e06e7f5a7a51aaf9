#include "scan/requests.h"

#include <algorithm>
#include <cstddef>

#include "scan/pipeline.h"

concurrent_queue<readReq*>* readRequests = nullptr;
concurrent_queue<hashReq*>* hashRequests = nullptr;
concurrent_queue<hashReq*>* readcmpRequests = nullptr;
concurrent_queue<hashReq*>* cmpRequests = nullptr;

std::atomic<int> gPinnedChunks{0};

readReq::~readReq() { returnChunkBuffer(buf, static_cast<size_t>(bytesAsked)); }

void releaseChunk(readReq* chunk) {
  if (chunk->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (chunk->pinned) gPinnedChunks.fetch_sub(1, std::memory_order_relaxed);
  returnChunkBuffer(chunk->buf, static_cast<size_t>(chunk->bytesAsked));
  chunk->buf = nullptr;
  delete chunk;
}

HashReqPool gHashReqPool;

hashReq* HashReqPool::take(unsigned char* buf, int len, size_t hashLength, const unsigned char* extra,
                           uint64_t pos) {
  if (ready_.empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.swap(given_);
  }
  if (ready_.empty()) {
    return new hashReq(buf, len, std::vector<unsigned char>(hashLength, 0), extra, pos);
  }
  hashReq* r = ready_.back();
  ready_.pop_back();
  r->kind = hashReq::Kind::kFingerprint;
  r->buf = buf;
  r->len = len;
  r->hash.assign(hashLength, 0);
  r->extra = extra;
  r->pos = pos;
  r->ratio = -1.0;
  r->chunk = nullptr;
  return r;
}

void HashReqPool::give(std::vector<hashReq*>& reqs) {
  for (hashReq* r : reqs) {
    if (r->chunk != nullptr) {
      releaseChunk(r->chunk);
      r->chunk = nullptr;
    } else {
      delete[] r->buf;
    }
    r->buf = nullptr;
  }
  size_t kept = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    kept = std::min(reqs.size(), kKeptMax > given_.size() ? kKeptMax - given_.size() : 0);
    given_.insert(given_.end(), reqs.begin(), reqs.begin() + static_cast<std::ptrdiff_t>(kept));
  }
  for (size_t i = kept; i < reqs.size(); ++i) delete reqs[i];
  reqs.clear();
}

void HashReqPool::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (hashReq* r : given_) delete r;
  for (hashReq* r : ready_) delete r;
  given_.clear();
  ready_.clear();
}
