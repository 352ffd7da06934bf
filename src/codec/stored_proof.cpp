// The proof that a block must be stored: a count, far cheaper than the
// parse, of the positions whose 3 bytes may have occurred before, and the
// least coded length that count allows. The portable count runs on every
// host; beside it, where the compiler targets x86's SSE2, the same
// arithmetic on 16 positions at a time. The differential test holds both to
// the same count on every block.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "block_encoder_internal.h"

#if TARVIX_PROOF_SSE2
#include <emmintrin.h>
#endif

namespace tarvix {

namespace {

// A whole-word load: memcpy makes an unaligned load legal and compiles to one
// instruction on the machines that allow unaligned loads.
std::uint32_t load32(const std::uint8_t* bytes) noexcept {
  std::uint32_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// The bitmap of the proof that a block must be stored: 65536 bits, one for
// each value of a 16-bit hash of 3 bytes, taking 8 KiB like the hash table.
constexpr unsigned kSeenBitsLog2 = 16;
constexpr std::size_t kSeenBits = std::size_t{1} << kSeenBitsLog2;
constexpr std::uint32_t kSeenMultiplier = 0x9E3779B1;  // 2^32 / the golden ratio
using SeenBits = std::array<std::uint64_t, kSeenBits / 64>;

// The proof's hash of 3 bytes b0 b1 b2, given as x = b0 | b1 << 8 | b2 << 16:
// the top 16 bits of x * kSeenMultiplier, modulo 2^32.
void mark(std::uint32_t three_bytes, SeenBits& seen) noexcept {
  const std::uint32_t bit = (three_bytes * kSeenMultiplier) >> (32 - kSeenBitsLog2);
  seen[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

// b0 | b1 << 8 | b2 << 16 for the 3 bytes from `bytes` on, on every host, by
// one load of 4 bytes (the fourth is dropped).
std::uint32_t three_bytes_at(const std::uint8_t* bytes) noexcept {
  std::uint32_t word = load32(bytes);
  if constexpr (std::endian::native == std::endian::big) {
    word = (word >> 24) | ((word >> 8) & 0xFF00) | ((word << 8) & 0xFF0000);
  }
  return word & 0xFFFFFF;
}

// Marks the bits of positions `from` to positions - 1 of `in`, one at a time.
void mark_each(const std::uint8_t* in, std::size_t from, std::size_t positions,
               SeenBits& seen) noexcept {
  // Whole words for every position but the last, which has no fourth byte.
  for (std::size_t p = from; p + 1 < positions; ++p) {
    mark(three_bytes_at(in + p), seen);
  }
  if (from < positions) {
    const std::uint8_t* const last = in + positions - 1;
    mark(last[0] | (std::uint32_t{last[1]} << 8) | (std::uint32_t{last[2]} << 16), seen);
  }
}

// The number of bits set in `words`. The sum of halves, quarters and bytes
// turns into vector instructions, where std::popcount would be a call for
// each word on machines without an instruction for it.
std::size_t count_bits(const SeenBits& words) noexcept {
  std::size_t count = 0;
  for (const std::uint64_t word : words) {
    std::uint64_t w = word - ((word >> 1) & 0x5555555555555555);
    w = (w & 0x3333333333333333) + ((w >> 2) & 0x3333333333333333);
    w = (w + (w >> 4)) & 0x0F0F0F0F0F0F0F0F;
    count += static_cast<std::size_t>((w * 0x0101010101010101) >> 56);
  }
  return count;
}

#if TARVIX_PROOF_SSE2
// The proof's hash in SSE2's 16-bit lanes. Split x into lo = b0 | b1 << 8 and
// hi = b2, and the multiplier m into m_lo and m_hi: x * m is lo * m_lo +
// 2^16 (lo * m_hi + hi * m_lo) + 2^32 (hi * m_hi), so its bits 16-31 are the
// high half of lo * m_lo plus the low halves of lo * m_hi and hi * m_lo,
// modulo 2^16. With 61 62 63: lo = 0x6261, hi = 0x63, and x = 0x636261.
__m128i seen_bits(__m128i lo, __m128i hi) noexcept {
  const __m128i m_lo = _mm_set1_epi16(static_cast<std::int16_t>(kSeenMultiplier & 0xFFFF));
  const __m128i m_hi = _mm_set1_epi16(static_cast<std::int16_t>(kSeenMultiplier >> 16));
  return _mm_add_epi16(_mm_add_epi16(_mm_mulhi_epu16(lo, m_lo), _mm_mullo_epi16(lo, m_hi)),
                       _mm_mullo_epi16(hi, m_lo));
}

__m128i load128(const void* bytes) noexcept {
  return _mm_loadu_si128(static_cast<const __m128i*>(bytes));
}

// Marks the bits of 16 positions at a time, while the 18 bytes they read lie
// in the block, and returns the first position left unmarked. Interleaving
// the 16 bytes from p with those from p + 1 gives lo for positions p to
// p + 15, in two halves; the bytes from p + 2 widened give hi. The 16 bits
// leave the vector as four 64-bit words of four each, which measured faster
// than taking them out a lane at a time, or as words and places split in the
// lanes.
std::size_t mark_sixteen_at_a_time(const std::uint8_t* in, std::size_t positions,
                                   SeenBits& seen) noexcept {
  const __m128i zero = _mm_setzero_si128();
  std::size_t p = 0;
  for (; positions - p >= 16; p += 16) {
    const __m128i first = load128(in + p);
    const __m128i second = load128(in + p + 1);
    const __m128i third = load128(in + p + 2);
    std::array<std::uint64_t, 4> bits{};
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bits.data()),
                     seen_bits(_mm_unpacklo_epi8(first, second), _mm_unpacklo_epi8(third, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bits.data() + 2),
                     seen_bits(_mm_unpackhi_epi8(first, second), _mm_unpackhi_epi8(third, zero)));
    for (const std::uint64_t four : bits) {
      for (unsigned lane = 0; lane < 64; lane += 16) {
        const auto bit = static_cast<std::uint16_t>(four >> lane);
        seen[bit / 64] |= std::uint64_t{1} << (bit % 64);
      }
    }
  }
  return p;
}

// count_bits() in SSE2: the same sum of halves, quarters and bytes, 16 bytes
// at a time, and the bytes of each 8 added by psadbw.
std::size_t count_bits_sixteen_bytes_at_a_time(const SeenBits& words) noexcept {
  const __m128i zero = _mm_setzero_si128();
  const __m128i halves = _mm_set1_epi8(0x55);
  const __m128i quarters = _mm_set1_epi8(0x33);
  const __m128i nibbles = _mm_set1_epi8(0x0F);
  __m128i sum = zero;
  for (std::size_t i = 0; i < words.size(); i += 2) {
    __m128i w = load128(words.data() + i);
    w = _mm_sub_epi8(w, _mm_and_si128(_mm_srli_epi64(w, 1), halves));
    w = _mm_add_epi8(_mm_and_si128(w, quarters), _mm_and_si128(_mm_srli_epi64(w, 2), quarters));
    w = _mm_and_si128(_mm_add_epi8(w, _mm_srli_epi64(w, 4)), nibbles);
    sum = _mm_add_epi64(sum, _mm_sad_epu8(w, zero));
  }
  std::array<std::uint64_t, 2> halves_of_sum{};
  _mm_storeu_si128(reinterpret_cast<__m128i*>(halves_of_sum.data()), sum);
  return static_cast<std::size_t>(halves_of_sum[0] + halves_of_sum[1]);
}
#endif

}  // namespace

// Why a block must be stored when least_coded_length(n, K) > n.
//
// Let a block of n bytes be coded by any parse into literal, match and run
// items, and let K be at least the number of positions p (p + 2 < n) whose
// 3 bytes also start at an earlier position of the block.
//   - A match item of length l (3 to 18) at p repeats the bytes from an
//     earlier position c on: for k = 0 to l - 3 the 3 bytes at p + k also
//     start at c + k < p + k. So its l - 2 positions p to p + l - 3 count.
//   - A run item of length r (16 or more) at p: the 3 bytes at p + 1 to
//     p + r - 3 equal those at p, so its r - 3 positions count.
// Items cover disjoint bytes, so over all copy items
//   sum(l - 2) + sum(r - 3) <= K.
// Against n literal items, a match item takes l - 2 fewer bytes and l - 1
// fewer items, a run item r - 4 fewer bytes and r - 1 fewer items. Since
// l - 1 <= 2 (l - 2) for l >= 3 and r - 1 <= 2 (r - 3) for r >= 5, the
// items take B >= n - K bytes and number I >= n - 2K. The coded form is the
// kind byte, a control word for every 16 items (one at least) and the items:
//   1 + 2 max(1, ceil(I / 16)) + B  >=  1 + 2 max(1, ceil((n - 2K) / 16)) + n - K.
// Matches of length 3 alone reach both bounds at once, so nothing better
// follows from K alone.
//
// The encoder gives the stored form exactly when its whole parse would be
// longer than n: coding stops early only once the output has passed n, and
// the output only grows. So a bound above n proves the stored form.
//
// For n = 8192 and K = 820: n - 2K = 6552 items need 410 control words, so
// the coded form takes at least 1 + 820 + 7372 = 8193 bytes, and the block
// is stored. For K = 821: 6550 items still need 410 words, and the bound is
// 1 + 820 + 7371 = 8192, as long as the block: 821 matches of length 3 among
// 5729 literals are coded in exactly that. And for abcabcabc, n = 9, where
// the positions 3 to 6 repeat abc, bca, cab and abc (K = 4): the bound is
// 1 + 2 + 5 = 8, which the block's coded form 40 10 00 61 62 63 00 33 meets.
std::size_t least_coded_length(std::size_t length, std::size_t repeats) noexcept {
  assert(repeats <= length);
  const std::size_t items = length > 2 * repeats ? length - 2 * repeats : 0;
  const std::size_t control_words =
      std::max<std::size_t>(1, (items + kItemsPerControlWord - 1) / kItemsPerControlWord);
  return 1 + control_words * kControlWordSize + length - repeats;
}

std::size_t repeats_at_most(std::span<const std::uint8_t> block,
                            [[maybe_unused]] ProofPath path) noexcept {
  const std::size_t positions = block.size() > 2 ? block.size() - 2 : 0;
  // Each position's 3 bytes set one bit of `seen`, chosen by a hash of the 3
  // bytes, and every position counts but those that set a bit that was not
  // set yet. A position whose 3 bytes occurred earlier finds its bit set, so
  // it counts; so does one whose bit another 3 bytes set, which is why K may
  // be too high (by about 490 on 8192 random bytes), but never too low.
  SeenBits seen{};
#if TARVIX_PROOF_SSE2
  if (path == ProofPath::kSse2) {
    mark_each(block.data(), mark_sixteen_at_a_time(block.data(), positions, seen), positions, seen);
    return positions - count_bits_sixteen_bytes_at_a_time(seen);
  }
#endif
  assert(path == ProofPath::kPortable);
  mark_each(block.data(), 0, positions, seen);
  return positions - count_bits(seen);
}

bool must_be_stored(std::span<const std::uint8_t> block) noexcept {
  const std::size_t repeats = repeats_at_most(block, kProofPaths[std::size(kProofPaths) - 1]);
  return least_coded_length(block.size(), repeats) > block.size();
}

}  // namespace tarvix
