// The JSON summary zanstream prints on its last line, read with Qt's
// strict parser.
#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace zan::test {

// The JSON object on the last line of |text|; fails the test when that
// line is not one. (const, so that chained [] on the result reads values.)
inline const QJsonObject lastJsonObject(const std::string& text) {
  std::string line = text;
  while (!line.empty() && line.back() == '\n') line.pop_back();
  const auto newline = line.find_last_of('\n');
  if (newline != std::string::npos) line = line.substr(newline + 1);
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << " in: " << line;
  EXPECT_TRUE(document.isObject()) << line;
  return document.object();
}

inline uint64_t u64(const QJsonValue& value) { return static_cast<uint64_t>(value.toDouble(-1)); }

}  // namespace zan::test
