// Recycled fingerprint requests: a request taken again is what a fresh one
// would be, and giving it back lets go of its block.
#include <gtest/gtest.h>

#include <vector>

#include "scan/requests.h"

namespace {

TEST(HashReqPool, ARecycledRequestIsLikeAFreshOneAndItsBlockIsLetGo) {
  HashReqPool pool;
  const unsigned char extra[2] = {1, 2};
  hashReq* r = pool.take(nullptr, 8192, 20, extra, 4096);
  EXPECT_EQ(r->hash, std::vector<unsigned char>(20, 0));

  // Used: a fingerprint written, a chunk reference held, fields changed.
  auto* chunk = new readReq(nullptr, 0, 8192, 8192, 0);
  chunk->refs.fetch_add(1);
  r->chunk = chunk;
  r->buf = reinterpret_cast<unsigned char*>(&r->pos);  // inside the chunk, never freed
  r->hash.assign(20, 0xab);
  r->kind = hashReq::Kind::kMeasure;
  r->ratio = 0.5;
  std::vector<hashReq*> done = {r};
  pool.give(done);
  EXPECT_TRUE(done.empty());
  EXPECT_EQ(chunk->refs.load(), 1);  // the request's reference went back

  unsigned char block[16] = {};
  hashReq* again = pool.take(block, 16, 16, nullptr, 77);
  EXPECT_EQ(again, r);  // the same record, filled anew
  EXPECT_EQ(again->kind, hashReq::Kind::kFingerprint);
  EXPECT_EQ(again->buf, block);
  EXPECT_EQ(again->len, 16);
  EXPECT_EQ(again->hash, std::vector<unsigned char>(16, 0));
  EXPECT_EQ(again->extra, nullptr);
  EXPECT_EQ(again->pos, 77u);
  EXPECT_EQ(again->ratio, -1.0);
  EXPECT_EQ(again->chunk, nullptr);
  again->buf = nullptr;  // the test's own block
  delete again;
  releaseChunk(chunk);
}

}  // namespace
