// What the admin tests read back from a command: its exit status and
// output, and JSON output parsed.
#pragma once
#include <gtest/gtest.h>
#include <json/json.h>

#include <sstream>
#include <string>

namespace quorvex::test {

struct Answer {
  int code = -1;
  std::string out;
  std::string err;
};

inline Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << text << errors;
  return value;
}

}  // namespace quorvex::test
