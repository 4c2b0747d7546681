// Layout of one raw NAND page as it stands in a dump: a 4-byte page header, then 512-byte
// sectors each followed by 13 ECC bytes, with a 6-byte hole inside the last sector. Taking a
// sector out of a page and putting one back are the only operations on it.
#pragma once

#include <cstdint>  // std::int32_t, std::int64_t

// Byte counts of the layout; fixed, they do not scale with the page size.
constexpr int kPageHeaderLength = 4;   // bytes at the start of every page that belong to no sector
constexpr int kSectorLength = 512;     // data bytes per sector
constexpr int kEccLength = 13;         // ECC bytes stored after each sector's data
constexpr int kChunkStride = 525;      // kSectorLength + kEccLength
constexpr int kSplitPoint = 469;       // data bytes of the last sector before the hole
constexpr int kHoleLength = 6;         // bytes inside the last chunk that belong to no sector
constexpr int kSecondPartLength = 43;  // data bytes of the last sector after the hole
constexpr int kSecondPartAt = 475;     // chunk offset of the second part
constexpr int kLastEccAt = 518;        // chunk offset of the last sector's ECC bytes
constexpr int kLastChunkLength = 531;  // kLastEccAt + kEccLength

// Sectors in a page of `page_size` data bytes (spare excluded): page_size / 512, truncated.
// REQUIRES: page_size >= 0.
constexpr std::int32_t sectors_per_page(std::int32_t page_size) {
  return page_size / kSectorLength;
}

// Number of bytes from the start of a page that the sectors and their ECC reach:
// 4 + 525 * (step_per_page - 1) + 531, or 0 when the page holds no sector.
// REQUIRES: step_per_page >= 0. Computed in 64 bits, so it never overflows.
std::int64_t layout_end(std::int32_t step_per_page);

// Copies sector k of a page into `sector` (512 bytes, the hole left out) and its ECC bytes
// into `ecc` (13 bytes), and returns the page offset at which the sector's chunk begins,
// 4 + 525 * k. The last sector (k == step_per_page - 1) is split around the hole.
// REQUIRES: 0 <= k < step_per_page; `page` holds at least layout_end(step_per_page) bytes.
std::int64_t extract_sector(const unsigned char* page, std::int32_t k, std::int32_t step_per_page,
                            unsigned char* sector, unsigned char* ecc);

// The inverse of extract_sector: writes `sector` (512 bytes) and `ecc` (13 bytes) into
// their places in the page as sector k, leaving the header, the hole and every byte outside
// the sector and its ECC untouched. Returns the chunk's page offset, as extract_sector does.
// REQUIRES: as for extract_sector; `page` writable over layout_end(step_per_page) bytes.
std::int64_t place_sector(unsigned char* page, std::int32_t k, std::int32_t step_per_page,
                          const unsigned char* sector, const unsigned char* ecc);
