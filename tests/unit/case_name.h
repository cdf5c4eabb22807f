// Names each row of a table of cases after its `name`, so that a failure says which row broke.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace mkvtype::testing {

struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& row) const {
    return row.param.name;
  }
};

}  // namespace mkvtype::testing
