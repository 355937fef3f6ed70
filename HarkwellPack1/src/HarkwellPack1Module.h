// The module of the plug-in library HarkwellPack1: its class table, AppID and type library, served through
// the four in-process server entry points.
#pragma once

#include "corvane/ulinproc.h"

// The library's application identifier, which is also the identifier of its type library.
constexpr GUID APPID_HarkwellPack1 = MakeGuid("{E67DF562-1D78-4BB0-9C47-85BC3B320855}");

class CHarkwellPack1Module : public corvane::CInprocServerModule {
public:
    CHarkwellPack1Module() noexcept;
};

extern const CHarkwellPack1Module g_Module;
