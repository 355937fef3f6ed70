// What the service control manager, the service dispatcher and the event log share (runtime-internal):
// the table of their handles, and the reading of the environment and of file errors.
//
// A handle is the address of a small heap object that carries the tag of its kind. Every call finds it
// through the table first, so that a stale or foreign handle is refused instead of being read.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "comrt/systemerrors.h"
#include "comrt/types.h"

namespace comrt::internal {

constexpr std::uint32_t kManagerTag = 0x53434D31;      // "SCM1"
constexpr std::uint32_t kServiceTag = 0x53525631;      // "SRV1"
constexpr std::uint32_t kStatusTag = 0x53545431;       // "STT1"
constexpr std::uint32_t kEventSourceTag = 0x45564C31;  // "EVL1"

struct CServiceObject {
    explicit CServiceObject(std::uint32_t nTag) : nTag(nTag) {}
    CServiceObject(const CServiceObject&) = delete;
    CServiceObject& operator=(const CServiceObject&) = delete;
    virtual ~CServiceObject() = default;
    const std::uint32_t nTag;
};

// Puts the object into the table; its address is its handle. Null (ERROR_NOT_ENOUGH_MEMORY) when the
// table cannot grow.
void* InsertServiceObject(std::shared_ptr<CServiceObject> pObject) noexcept;

// The object of a handle when it carries the tag, else null with ERROR_INVALID_HANDLE.
std::shared_ptr<CServiceObject> LookupServiceObject(const void* h, std::uint32_t nTag) noexcept;

template <class T>
std::shared_ptr<T> LookupServiceObject(const void* h) noexcept {
    return std::static_pointer_cast<T>(LookupServiceObject(h, T::kTag));
}

// Takes the object of a handle with one of the tags out of the table; false with ERROR_INVALID_HANDLE when
// the handle names none. The object goes when the last call still using it has returned.
bool RemoveServiceObject(const void* h, std::initializer_list<std::uint32_t> Tags) noexcept;

// An environment variable's value; empty when it is not set.
std::string EnvironmentValue(const char* szName);

}  // namespace comrt::internal
