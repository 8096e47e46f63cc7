// The test client's AMF0 builder and strict reader (testclient/TestAmf.h), and
// a bridge from the project's decoder to the same tree, so tests can compare
// the two readers.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "testclient/TestAmf.h"

namespace amf {

// The same body through AmfDecodeObject (unnamed), converted to nodes. ECMA and
// strict arrays come back as kObject, as the project's decoder stores them.
bool DecodeWithProject(std::span<const uint8_t> body, std::vector<Node>* values);

}  // namespace amf
