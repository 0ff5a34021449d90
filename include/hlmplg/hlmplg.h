// The plugin SDK: include this one header to build a plugin.
#pragma once

#include "hlmplg/export.h"
#include "hlmplg/interface.h"
#include "hlmplg/interface_ids.h"
#include "hlmplg/serializable.h"
