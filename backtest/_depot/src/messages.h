#pragma once

// Every message text that the package download raises.

#include <string>
#include <string_view>

namespace velmora::backtest::messages {

inline constexpr std::string_view NO_DOWNLOAD_URL = "服务端未返回有效的回测基准数据下载地址";
inline constexpr std::string_view UNSUPPORTED_CONTENT_TYPE = "不支持的回测基准数据包格式: ";
inline constexpr std::string_view DOWNLOAD_HTTP_STATUS = "下载回测基准数据失败: HTTP ";
inline constexpr std::string_view DOWNLOAD_NETWORK = "下载回测基准数据失败: 网络错误";
inline constexpr std::string_view ILLEGAL_ENTRY = "回测基准数据包含非法路径条目: ";
inline constexpr std::string_view DAMAGED_ARCHIVE = "回测基准数据包损坏,无法解压";

// Packing a store: the directory holds no store, or a store whose manifest cannot say which files are its.
inline std::string nothing_to_pack(const std::string& dir) {
  return "cannot pack " + dir + ": no manifest.json in it or in a folder below it";
}
inline std::string manifest_unusable(const std::string& dir) {
  return "cannot pack " + dir + ": its manifest.json is unreadable or names a file outside it";
}

}  // namespace velmora::backtest::messages
