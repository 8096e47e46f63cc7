// A minimal Ogg Opus file writer, so that tests can hand the Opus packets
// strmd makes to an independent decoder (GStreamer's opusdec).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Writes OpusHead (mono, 16 kHz input, `preSkip` at 48 kHz) and OpusTags,
// then each packet (20 ms each) on a page of its own. False when the file
// could not be written.
bool WriteOggOpusForTest(const std::string& path, uint16_t preSkip,
                         const std::vector<std::vector<uint8_t>>& packets);
