// Tests of the page layout: which page bytes land in a sector and its ECC, checked against
// offsets written out by hand from the layout table, and place_sector as the exact inverse.
#include "layout/page_layout.h"

#include <gtest/gtest.h>

#include <cstdint>  // std::int32_t
#include <numeric>  // std::iota
#include <set>      // std::set
#include <vector>   // std::vector

namespace {

// A page whose byte at offset o holds o mod 256, so every extracted byte names its source.
std::vector<unsigned char> offset_page(std::size_t size) {
  std::vector<unsigned char> page(size);
  for (std::size_t o = 0; o < size; ++o)
    page[o] = static_cast<unsigned char>(o);
  return page;
}

// Page offsets of sector bytes 0..511 and ECC bytes 0..12, written out from the layout
// table for a non-last and a last chunk.
std::vector<std::int64_t> expected_offsets(std::int32_t k, std::int32_t steps) {
  std::vector<std::int64_t> offsets;
  const std::int64_t c = 4 + 525 * std::int64_t{k};
  if (k == steps - 1) {
    for (int i = 0; i < 469; ++i)
      offsets.push_back(c + i);
    for (int i = 0; i < 43; ++i)
      offsets.push_back(c + 475 + i);
    for (int i = 0; i < 13; ++i)
      offsets.push_back(c + 518 + i);
  } else {
    for (int i = 0; i < 525; ++i)
      offsets.push_back(c + i);
  }
  return offsets;
}

TEST(PageLayout, ExtractsEverySectorOfSeveralGeometries) {
  // (page size, spare size): the common 2 KiB page, a 4 KiB page whose hole lies inside the
  // data area, a page of 2,000 bytes (3 sectors), and a single split sector.
  const std::int32_t geometries[][2] = {{2048, 64}, {4096, 128}, {2000, 100}, {512, 23}};
  for (const auto& geo : geometries) {
    const std::int32_t steps = sectors_per_page(geo[0]);
    const auto page = offset_page(static_cast<std::size_t>(geo[0] + geo[1]));
    ASSERT_LE(layout_end(steps), geo[0] + geo[1]) << "page " << geo[0] << "+" << geo[1];
    for (std::int32_t k = 0; k < steps; ++k) {
      SCOPED_TRACE(testing::Message() << "page " << geo[0] << "+" << geo[1] << " sector " << k);
      unsigned char sector[512];
      unsigned char ecc[13];
      EXPECT_EQ(extract_sector(page.data(), k, steps, sector, ecc), 4 + 525 * k);
      const auto want = expected_offsets(k, steps);
      for (int i = 0; i < 512; ++i)
        ASSERT_EQ(sector[i], static_cast<unsigned char>(want[i])) << "data byte " << i;
      for (int i = 0; i < 13; ++i)
        ASSERT_EQ(ecc[i], static_cast<unsigned char>(want[512 + i])) << "ECC byte " << i;
    }
  }
}

TEST(PageLayout, KnownOffsetsOfTheTwoKibPage) {
  const auto page = offset_page(2112);
  unsigned char sector[512];
  unsigned char ecc[13];
  const std::int64_t starts[] = {4, 529, 1054, 1579};
  for (int k = 0; k < 4; ++k)
    EXPECT_EQ(extract_sector(page.data(), k, 4, sector, ecc), starts[k]) << "sector " << k;
  // Sector 3 (the last): bytes 1579..2047, then 2054..2096; ECC 2097..2109.
  EXPECT_EQ(sector[0], 1579 % 256);
  EXPECT_EQ(sector[468], 2047 % 256);
  EXPECT_EQ(sector[469], 2054 % 256);
  EXPECT_EQ(sector[511], 2096 % 256);
  EXPECT_EQ(ecc[0], 2097 % 256);
  EXPECT_EQ(ecc[12], 2109 % 256);
  EXPECT_EQ(layout_end(4), 2110);
  // With one sector per page that sector is split too: 4..472, 479..521, ECC 522..534.
  const auto small = offset_page(535);
  EXPECT_EQ(extract_sector(small.data(), 0, 1, sector, ecc), 4);
  EXPECT_EQ(sector[468], 472 % 256);
  EXPECT_EQ(sector[469], 479 % 256);
  EXPECT_EQ(sector[511], 521 % 256);
  EXPECT_EQ(ecc[0], 522 % 256);
  EXPECT_EQ(ecc[12], 534 % 256);
  EXPECT_EQ(layout_end(1), 535);
  EXPECT_EQ(layout_end(0), 0);
}

TEST(PageLayout, HeaderHoleAndTailNeverReachASector) {
  // Mark the bytes that belong to no sector; no extraction may return a marked byte.
  std::vector<unsigned char> page(2112, 0x00);
  const int outside[] = {0, 1, 2, 3, 2048, 2049, 2050, 2051, 2052, 2053, 2110, 2111};
  for (int o : outside)
    page[o] = 0xAA;
  unsigned char sector[512];
  unsigned char ecc[13];
  for (int k = 0; k < 4; ++k) {
    extract_sector(page.data(), k, 4, sector, ecc);
    for (unsigned char b : sector)
      ASSERT_EQ(b, 0) << "sector " << k;
    for (unsigned char b : ecc)
      ASSERT_EQ(b, 0) << "ECC of sector " << k;
  }
}

TEST(PageLayout, PlaceSectorIsTheInverseAndTouchesNothingElse) {
  const std::int32_t geometries[][2] = {{2048, 64}, {4096, 224}, {512, 23}};
  for (const auto& geo : geometries) {
    const std::int32_t steps = sectors_per_page(geo[0]);
    const std::size_t size = static_cast<std::size_t>(geo[0] + geo[1]);
    std::vector<unsigned char> page(size, 0x5A);
    std::set<std::int64_t> written;
    for (std::int32_t k = 0; k < steps; ++k) {
      SCOPED_TRACE(testing::Message() << "page " << geo[0] << "+" << geo[1] << " sector " << k);
      unsigned char sector[512];
      unsigned char ecc[13];
      for (int i = 0; i < 512; ++i)
        sector[i] = static_cast<unsigned char>(i * 7 + k);
      for (int i = 0; i < 13; ++i)
        ecc[i] = static_cast<unsigned char>(0xE0 + i + k);
      EXPECT_EQ(place_sector(page.data(), k, steps, sector, ecc), 4 + 525 * k);
      for (std::int64_t o : expected_offsets(k, steps))
        written.insert(o);
      unsigned char back[512];
      unsigned char back_ecc[13];
      extract_sector(page.data(), k, steps, back, back_ecc);
      ASSERT_TRUE(std::equal(sector, sector + 512, back));
      ASSERT_TRUE(std::equal(ecc, ecc + 13, back_ecc));
    }
    for (std::size_t o = 0; o < size; ++o) {
      if (written.count(static_cast<std::int64_t>(o)))
        continue;
      ASSERT_EQ(page[o], 0x5A) << "page " << geo[0] << "+" << geo[1] << " offset " << o;
    }
  }
}

}  // namespace
