// A minimal streaming JSON writer for the tools' machine-readable output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(const std::string& key);
  JsonWriter& String(const std::string& value);
  JsonWriter& Number(int64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  const std::string& Text() const { return text_; }

  static std::string Escape(const std::string& value);

 private:
  void BeforeValue();
  std::string text_;
  std::vector<bool> first_;  // per open container: nothing written yet
  bool afterKey_ = false;
};

}  // namespace tools
