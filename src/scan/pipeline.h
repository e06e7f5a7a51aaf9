// The stage threads of a scan: read workers fill readRequests with chunks,
// hash workers fingerprint blocks into the sketch, compression workers re-read
// single blocks (for the ratio measurement or a partial scan's samples).
#ifndef DEZEVAZIR_SCAN_PIPELINE_H_
#define DEZEVAZIR_SCAN_PIPELINE_H_

#include <sys/types.h>

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/concurrent_queue.h"
#include "scan/space_gate.h"
#include "scan/zero_block.h"


// Number of hash workers and of compression workers in a full scan.
constexpr int kHashWorkers = 10;
constexpr int kCmpWorkers = 10;

// The scan command counts every reader in the engine's activeReaders before
// starting it; the reader takes itself out when its share is done.
void readThreadFnc(int w, long long devSize);
void hashThreadFnc(int w);
int cmpThreadFnc(int w);

// Counts blocks that could not be read; false once the run is beyond
// ioErrorLimit (the run then ends with status 126).
bool diskError(uint64_t blocks);

// Set once read errors pass the limit: readers stop, the scan or partial
// scan stops and saves nothing, and its command ends the run with 126.
extern std::atomic<bool> gTooManyReadErrors;

// Set when a read finds the source ending before the size it had at the
// start: the source shrank while it was read. Reset by the commands.
extern std::atomic<bool> gSourceShrank;

// Producer side bound: a producer that finds more than bound elements
// queued waits until the consumers have taken half of them, then pushes. The
// consumers signal the gate after each pop.
template <typename T>
void boundedPush(concurrent_queue<T>* q, T item, size_t bound, SpaceGate& gate) {
  gate.waitForRoom([q] { return q->size(); }, bound);
  q->push(item);
}

// Room made in readRequests (signalled by the scan loop) and in hashRequests
// (signalled by the hash workers).
extern SpaceGate gReadSpace;
extern SpaceGate gHashSpace;

// Read chunks of the full size are recycled: fresh 1 MiB buffers would each
// cost the kernel a new mapping and a page fault per page. They come from
// one arena on huge pages (see ChunkArena), and from mappings of their own
// once its slots are out. A buffer goes back with the size it was taken
// with (its bytes asked), which also says how it was allocated.
// forDirectReads: the buffer will be read into directly (see ChunkArena).
unsigned char* takeChunkBuffer(size_t size, bool forDirectReads = false);
void returnChunkBuffer(unsigned char* buf, size_t size);
// How many chunks queued hash requests may keep alive (gPinnedChunks): the
// hash queue's bound in chunks, and a few for the blocks the hash workers
// have in hand.
int chunkPinLimit();
// Frees the recycled buffers (end of a scan).
void releaseChunkBuffers();

// Read and compression workers read the source directly (O_DIRECT) where
// it allows that, else buffered, dropping the pages they brought into the
// cache; a source wholly in the cache they read from it. The first worker
// to find out logs the mode. Each command forgets the mode of an earlier
// run before starting its workers.
void forgetReadMode();

// Set by the scan loop when it ends early: readers stop at their next chunk.
extern std::atomic<bool> gStopReaders;
// Hash requests whose fingerprint has reached the sketch (or was refused by
// it), over the whole process; the scan loop compares it with what it queued.
extern std::atomic<uint64_t> gHashesSettled;

// Per partial-scan worker: sum of (int)(ratio x 100000) of its samples.
extern std::vector<int32_t> cmpSumComp;
// Per partial-scan worker: sum and sum of squares of its samples' ratios,
// for the spread of the estimate.
extern std::vector<double> cmpSumRatio;
extern std::vector<double> cmpSumRatioSq;

// The positioned read used by read and compression workers. Tests swap it to
// inject read errors; the product always uses pread.
using ReadAtFn = ssize_t (*)(int fd, void* buf, size_t count, off_t offset);
extern ReadAtFn gReadAt;

// Set once the kernel turns out to have no cachestat (before 6.5): the
// workers then map each range to inspect the page cache with mincore.
// Tests set it to take that path.
extern std::atomic<bool> gNoCachestat;

// Share of read worker w: [start, end) before any resume position applies.
struct ReadShare {
  int64_t start;
  int64_t end;
};
ReadShare readShareOf(int w, int64_t devSize, int64_t segmentSize, unsigned threads);

#endif  // DEZEVAZIR_SCAN_PIPELINE_H_
