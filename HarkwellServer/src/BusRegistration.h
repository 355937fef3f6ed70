// The server's registration with the bus daemons (comrt/busregistration.h), its trace lines written into
// the module's log.
#pragma once

#include <string>

#include "comrt/busregistration.h"

using comrt::BuildBusActivationFile;
using comrt::BuildBusPolicyFile;
using comrt::BusActivationFolder;
using comrt::BusPolicyFolder;
using comrt::kBusActivationFileName;
using comrt::kBusPolicyFileName;
using comrt::kBusPolicyGroup;

// comrt::WriteBusFiles and comrt::RemoveBusFiles, tracing into the module's log.
HRESULT WriteBusFiles(bool bServiceMode, const std::u16string& sProgramPath);
HRESULT RemoveBusFiles();
