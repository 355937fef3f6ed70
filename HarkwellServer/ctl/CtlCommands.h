// harkwellctl's commands. Each takes the words after its name, prints its result on standard output and
// returns the exit code; failures are raised as CCtlError.
#pragma once

#include <string>
#include <vector>

#include "CtlObjects.h"

namespace harkwellctl {

using Arguments = std::vector<std::string>;

// "Application" or "Service" as the program's registration says, "not registered" without it.
std::string RegisteredMode();

int RunStatus(const Arguments& Args);
int RunEnable(const Arguments& Args, bool bEnable);
int RunClasses(const Arguments& Args);
int RunList(const Arguments& Args);
int RunCreate(const Arguments& Args);
int RunShow(const Arguments& Args);
int RunSet(const Arguments& Args);
int RunTest(const Arguments& Args);
int RunDelete(const Arguments& Args);
int RunSave(const Arguments& Args);
int RunWatch(const Arguments& Args);
int RunTerminate(const Arguments& Args);

}  // namespace harkwellctl
