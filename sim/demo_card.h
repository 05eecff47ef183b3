// The built-in demo card: a partition table and a small FAT16 volume.
#pragma once

#include <cstdint>
#include <span>

#include "sim/storage.h"

inline constexpr std::uint32_t demo_card_sectors = 65536;      // 32 MiB
inline constexpr std::uint32_t demo_partition_start = 0x20;

void demo_card_sector(std::uint32_t sector, SectorSpan out);
