// Request records that travel on the pipeline's four queues, and the queues.
#ifndef DEZEVAZIR_SCAN_REQUESTS_H_
#define DEZEVAZIR_SCAN_REQUESTS_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/concurrent_queue.h"

// One chunk (up to readChunkBlocks blocks) read by a read worker.
struct readReq {
  unsigned char* buf = nullptr;  // owned
  uint64_t pos = 0;
  int bytesRead = 0;
  int bytesAsked = 0;
  int16_t worker = 0;
  // The scan loop's own reference plus one per hash request that points
  // into buf; see releaseChunk.
  std::atomic<int> refs{1};
  // Counted in gPinnedChunks (set by the scan loop before it hands out the
  // first reference).
  bool pinned = false;
  // Empty, or one flag per block of the chunk: set for a block that could
  // not be read (its bytes are zeros, and it is accounted as unreadable).
  std::vector<unsigned char> unreadable;

  readReq() = default;
  readReq(unsigned char* b, uint64_t p, int n, int asked, int16_t w)
      : buf(b), pos(p), bytesRead(n), bytesAsked(asked), worker(w) {}
  readReq(const readReq&) = delete;
  readReq& operator=(const readReq&) = delete;
  // Gives the buffer back to the readers' pool (or frees it).
  ~readReq();
};

// Drops one reference to a chunk; the last one gives its buffer back to the
// readers and frees the request.
void releaseChunk(readReq* chunk);

// Chunks that hash requests still point into. The scan loop copies blocks
// instead once this passes its limit, so that a sparse source (a chunk or
// two of data among zeros) cannot pin a chunk per queued block.
extern std::atomic<int> gPinnedChunks;

// One block. All fields zero (len 0) is an end marker.
struct hashReq {
  // What a worker is to do with the block.
  enum class Kind {
    kFingerprint,  // hash workers: fingerprint it for the sketch
    kSample,       // compression workers: a partial scan's sample, counted or compressed
    kMeasure,      // compression workers: read a kept block back and measure its ratio
  };
  Kind kind = Kind::kFingerprint;
  unsigned char* buf = nullptr;  // owned, unless chunk is set; null when the request only names a block
  int len = 0;
  std::vector<unsigned char> hash;
  const unsigned char* extra = nullptr;
  uint64_t pos = 0;
  // Set by the compression worker that measured a named block (the block's
  // data is then already freed); -1.0 when it could not be read.
  double ratio = -1.0;
  // When set, buf points into this chunk's buffer (the block is not copied)
  // and the request holds one of the chunk's references.
  readReq* chunk = nullptr;

  hashReq() = default;
  hashReq(unsigned char* b, int l, std::vector<unsigned char> h, const unsigned char* e, uint64_t p,
          Kind k = Kind::kFingerprint)
      : kind(k), buf(b), len(l), hash(std::move(h)), extra(e), pos(p) {}
  hashReq(const hashReq&) = delete;
  hashReq& operator=(const hashReq&) = delete;
  ~hashReq() {
    if (chunk != nullptr) {
      releaseChunk(chunk);
    } else {
      delete[] buf;
    }
  }
};

// Fingerprint requests are made for every data block of a scan: their
// records, with the fingerprint slots in them, are used again instead of
// allocated and freed per block. The scan loop takes them; the hash workers
// give them back in batches.
class HashReqPool {
 public:
  // A fingerprint request, as new hashReq(buf, len, hashLength zero bytes,
  // extra, pos) makes one. Only one thread takes (the scan loop).
  hashReq* take(unsigned char* buf, int len, size_t hashLength, const unsigned char* extra, uint64_t pos);
  // Lets go of each request's block (its chunk reference or its buffer) and
  // keeps the records; empties reqs. Any thread.
  void give(std::vector<hashReq*>& reqs);
  // Frees the kept records (end of a scan).
  void clear();
  ~HashReqPool() { clear(); }

 private:
  // At most this many records are kept; a scan has fewer in flight.
  static constexpr size_t kKeptMax = 16384;
  std::mutex mutex_;
  std::vector<hashReq*> given_;  // under mutex_
  std::vector<hashReq*> ready_;  // the taker's own
};
extern HashReqPool gHashReqPool;

extern concurrent_queue<readReq*>* readRequests;
extern concurrent_queue<hashReq*>* hashRequests;
extern concurrent_queue<hashReq*>* readcmpRequests;
extern concurrent_queue<hashReq*>* cmpRequests;

// Thrown on read errors and caught by the read path.
class MyException : public std::exception {
 public:
  explicit MyException(std::string msg) : msg_(std::move(msg)) {}
  const char* what() const noexcept override { return msg_.c_str(); }

 private:
  std::string msg_;
};

#endif  // DEZEVAZIR_SCAN_REQUESTS_H_
