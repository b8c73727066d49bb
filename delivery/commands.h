#pragma once

#include <cstdint>

namespace kestrel {

// Command codes of the packet header.
inline constexpr std::int32_t cmdKeepAlive = 0x02000000;
inline constexpr std::int32_t cmdHello = 0x02000001;
inline constexpr std::int32_t cmdRegistered = 0x02000003;
inline constexpr std::int32_t cmdQuery = 0x02000004;
inline constexpr std::int32_t cmdAccessDenied = 0x02000005;
inline constexpr std::int32_t cmdServerDisconnect = 0x02FFFFFD;
inline constexpr std::int32_t cmdDropLink = 0x02FFFFFE;
inline constexpr std::int32_t cmdQueryAnswer = 0x02FFFFFF;
inline constexpr std::int32_t cmdPortInfo = 0x02200062;
inline constexpr std::int32_t cmdVersion = 0x02200063;
inline constexpr std::int32_t cmdFirstNumber = 0x02200065;
inline constexpr std::int32_t cmdEventAck = 0x03000025;
inline constexpr std::int32_t cmdEvent = 0x0300003E;

inline constexpr std::uint16_t kClientTypeCode = 44;

}  // namespace kestrel
