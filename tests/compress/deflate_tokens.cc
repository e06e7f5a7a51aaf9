#include "deflate_tokens.h"

#include <stdexcept>

namespace dztest {
namespace {

const int kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                           33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                           1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const int kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class BitReader {
 public:
  BitReader(const unsigned char* data, size_t n) : data_(data), n_(n) {}
  unsigned bits(int count) {
    unsigned v = 0;
    for (int i = 0; i < count; i++) {
      if (pos_ >= 8 * n_) throw Failure("read past the end");
      v |= ((data_[pos_ >> 3] >> (pos_ & 7)) & 1u) << i;
      pos_++;
    }
    return v;
  }
  void alignToByte() { pos_ = (pos_ + 7) & ~size_t{7}; }
  void skipBytes(size_t count) { pos_ += 8 * count; }
  size_t bitsLeft() const { return 8 * n_ - pos_; }
  size_t bytePos() const { return pos_ >> 3; }
  const unsigned char* data() const { return data_; }

 private:
  const unsigned char* data_;
  size_t n_;
  size_t pos_ = 0;
};

// Canonical Huffman decoding by code length counts.
struct Huffman {
  int count[16] = {};
  std::vector<int> symbol;

  Huffman(const int* lengths, int n) : symbol(static_cast<size_t>(n)) {
    for (int i = 0; i < n; i++) count[lengths[i]]++;
    int offs[16] = {};
    for (int len = 1; len < 15; len++) offs[len + 1] = offs[len] + count[len];
    for (int i = 0; i < n; i++) {
      if (lengths[i] != 0) symbol[static_cast<size_t>(offs[lengths[i]]++)] = i;
    }
  }

  int decode(BitReader& in) const {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= 15; len++) {
      code |= static_cast<int>(in.bits(1));
      const int c = count[len];
      if (code - c < first) return symbol[static_cast<size_t>(index + (code - first))];
      index += c;
      first = (first + c) << 1;
      code <<= 1;
    }
    throw Failure("invalid code");
  }
};

void readCodes(BitReader& in, const Huffman& lit, const Huffman& dist, DeflateBlock* block,
               std::vector<unsigned char>* out) {
  for (;;) {
    const int sym = lit.decode(in);
    if (sym < 256) {
      block->tokens.push_back({sym, 0, 0});
      out->push_back(static_cast<unsigned char>(sym));
      continue;
    }
    if (sym == 256) return;
    const int li = sym - 257;
    if (li >= 29) throw Failure("bad length symbol");
    const int len = kLengthBase[li] + static_cast<int>(in.bits(kLengthExtra[li]));
    const int di = dist.decode(in);
    if (di >= 30) throw Failure("bad distance symbol");
    const int d = kDistBase[di] + static_cast<int>(in.bits(kDistExtra[di]));
    if (static_cast<size_t>(d) > out->size()) throw Failure("distance too far back");
    block->tokens.push_back({-1, len, d});
    for (int i = 0; i < len; i++) out->push_back((*out)[out->size() - static_cast<size_t>(d)]);
  }
}

void readDynamicTrees(BitReader& in, std::vector<int>* lit, std::vector<int>* dist) {
  const int nlen = static_cast<int>(in.bits(5)) + 257;
  const int ndist = static_cast<int>(in.bits(5)) + 1;
  const int ncode = static_cast<int>(in.bits(4)) + 4;
  int lengths[320] = {};
  for (int i = 0; i < ncode; i++) lengths[kCodeLengthOrder[i]] = static_cast<int>(in.bits(3));
  const Huffman lencode(lengths, 19);
  int index = 0;
  while (index < nlen + ndist) {
    int sym = lencode.decode(in);
    if (sym < 16) {
      lengths[index++] = sym;
      continue;
    }
    int len = 0;
    int repeat;
    if (sym == 16) {
      if (index == 0) throw Failure("repeat with no previous length");
      len = lengths[index - 1];
      repeat = 3 + static_cast<int>(in.bits(2));
    } else if (sym == 17) {
      repeat = 3 + static_cast<int>(in.bits(3));
    } else {
      repeat = 11 + static_cast<int>(in.bits(7));
    }
    if (index + repeat > nlen + ndist) throw Failure("too many lengths");
    while (repeat--) lengths[index++] = len;
  }
  lit->assign(lengths, lengths + nlen);
  dist->assign(lengths + nlen, lengths + nlen + ndist);
}

std::string describeTokens(const std::vector<DeflateToken>& tokens) {
  std::string s;
  auto word = [&s](const std::string& w) {
    if (!s.empty()) s += ' ';
    s += w;
  };
  size_t i = 0;
  while (i < tokens.size()) {
    size_t j = i;
    if (tokens[i].literal >= 0) {
      while (j < tokens.size() && tokens[j].literal >= 0) j++;
      word("L" + std::to_string(j - i));
    } else {
      while (j < tokens.size() && tokens[j].literal < 0 && tokens[j].length == tokens[i].length &&
             tokens[j].distance == tokens[i].distance) {
        j++;
      }
      std::string w = "M" + std::to_string(tokens[i].length) + "@" + std::to_string(tokens[i].distance);
      if (j - i > 1) w += "x" + std::to_string(j - i);
      word(w);
    }
    i = j;
  }
  return s;
}

}  // namespace

DecodedDeflate decodeDeflate(const unsigned char* data, size_t n) {
  DecodedDeflate result;
  BitReader in(data, n);
  try {
    bool last = false;
    while (!last && in.bitsLeft() >= 8) {
      DeflateBlock block;
      last = in.bits(1) != 0;
      block.final = last;
      block.type = static_cast<int>(in.bits(2));
      if (block.type == 0) {
        in.alignToByte();
        const unsigned len = in.bits(16);
        const unsigned nlen = in.bits(16);
        if ((len ^ 0xffffu) != nlen) throw Failure("stored length check");
        if (in.bitsLeft() < 8ull * len) throw Failure("stored block cut");
        const unsigned char* p = in.data() + in.bytePos();
        result.bytes.insert(result.bytes.end(), p, p + len);
        in.skipBytes(len);
        block.stored_len = len;
      } else if (block.type == 1) {
        int lengths[288];
        for (int i = 0; i < 288; i++) lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        int dlengths[30];
        for (int& l : dlengths) l = 5;
        readCodes(in, Huffman(lengths, 288), Huffman(dlengths, 30), &block, &result.bytes);
      } else if (block.type == 2) {
        std::vector<int> lit, dist;
        readDynamicTrees(in, &lit, &dist);
        readCodes(in, Huffman(lit.data(), static_cast<int>(lit.size())),
                  Huffman(dist.data(), static_cast<int>(dist.size())), &block, &result.bytes);
      } else {
        throw Failure("block type 3");
      }
      result.blocks.push_back(std::move(block));
    }
    result.ok = true;
  } catch (const Failure& f) {
    result.error = f.what();
  }
  return result;
}

std::string describeBlocks(const DecodedDeflate& d) {
  std::string s;
  for (const DeflateBlock& b : d.blocks) {
    if (!s.empty()) s += ' ';
    if (b.type == 0) {
      s += "S" + std::to_string(b.stored_len);
    } else {
      s += (b.type == 1 ? "F{" : "D{") + describeTokens(b.tokens) + "}";
    }
  }
  if (!d.ok) s += " !" + d.error;
  return s;
}

std::string describeSymbols(const DecodedDeflate& d) {
  std::vector<DeflateToken> all;
  for (const DeflateBlock& b : d.blocks) all.insert(all.end(), b.tokens.begin(), b.tokens.end());
  return describeTokens(all);
}

}  // namespace dztest
