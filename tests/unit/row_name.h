// Names each row of a parameterised test after the row's `name` field.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct RowName {
  template <class Row>
  std::string operator()(const testing::TestParamInfo<Row>& row) const {
    return row.param.name;
  }
};
