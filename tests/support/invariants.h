// Checks a rewritten image against the one it came from: structure, resources, and that
// nothing outside the resources changed.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pe_builder.h"

namespace tarvisk_test {

// Every rule `output` breaks, given the `original` image and the resources it should hold
// (in any order). Empty when the rewrite is sound. The headers are read by a parser of its
// own so that a fault in the core's reader cannot vouch for itself; only the resource tree
// is read back with the core's strict decoder.
[[nodiscard]] std::vector<std::string> check_invariants(const Bytes& original, const Bytes& output,
                                                        const std::vector<TestResource>& intended);

// For EXPECT_TRUE/ASSERT_TRUE: fails with every violation listed.
[[nodiscard]] ::testing::AssertionResult invariants_hold(const Bytes& original, const Bytes& output,
                                                         const std::vector<TestResource>& intended);

// Every resource of `original` whose data lay whole and 4-byte aligned in its resource section,
// and that `output` holds with the same bytes, lies at the same file offset and address there.
[[nodiscard]] ::testing::AssertionResult kept_where_it_lay(const Bytes& original,
                                                           const Bytes& output);

// The resources `image` holds, read with the core's decoder (sorted as the loader orders
// them), or an empty list plus a message in `error` when it cannot be read.
[[nodiscard]] std::vector<TestResource> read_resources(const Bytes& image,
                                                       std::string* error = nullptr);

// A readable "24/1/0" style key for messages.
[[nodiscard]] std::string describe_key(const ResId& type, const ResId& name,
                                       std::uint16_t language);

}  // namespace tarvisk_test
