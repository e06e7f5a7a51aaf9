#include "scan/requests.h"

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
