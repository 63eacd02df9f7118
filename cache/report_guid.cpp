#include "cache/report_guid.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace cache
{
namespace
{

constexpr std::size_t kMaxGuidBytes = 128;

bool isGuidCharacter(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-' ||
           c == '{' || c == '}';
}

} // namespace

bool isSafeReportGuid(const std::string &guid)
{
    return !guid.empty() && guid.size() <= kMaxGuidBytes &&
           std::all_of(guid.begin(), guid.end(), isGuidCharacter);
}

std::string safeReportGuid(std::string guid)
{
    if (isSafeReportGuid(guid))
        return guid;
    std::random_device source;
    unsigned char bytes[16];
    for (unsigned char &byte : bytes)
        byte = static_cast<unsigned char>(source());
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40); // version 4: random
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

} // namespace cache
