// Symbol visibility of the runtime library. Every module builds with hidden visibility; the runtime marks
// its API for export, and the in-process server entry points of a plug-in are marked with COMRT_ENTRY.
#pragma once

#if defined(COMRT_BUILDING)
#define COMRT_API __attribute__((visibility("default")))
#else
#define COMRT_API
#endif

#define COMRT_ENTRY extern "C" __attribute__((visibility("default")))
