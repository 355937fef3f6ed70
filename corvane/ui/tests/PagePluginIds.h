// Identifiers of the page plug-in library's classes and controls, shared by the library and its test.
#pragma once

#include "comrt/types.h"

constexpr CLSID CLSID_CPluginPage = MakeGuid("{3C7A52E1-9D04-4F6B-8E21-5A0D6C1B7F01}");
constexpr CLSID CLSID_CBrokenPluginPage = MakeGuid("{3C7A52E1-9D04-4F6B-8E21-5A0D6C1B7F02}");
constexpr GUID CLSID_PagePluginAppId = MakeGuid("{3C7A52E1-9D04-4F6B-8E21-5A0D6C1B7F00}");

constexpr unsigned IDS_PLUGIN_PAGE_TITLE = 7001;
constexpr int IDC_PLUGIN_SERVED_BY = 1001;
constexpr int IDC_PLUGIN_NAME = 1003;
