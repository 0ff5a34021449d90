// The plugin SDK: include this one header to build a plugin.
#pragma once

#include "hlmplg/cmdline.h"
#include "hlmplg/config.h"
#include "hlmplg/core.h"
#include "hlmplg/exceptions.h"
#include "hlmplg/export.h"
#include "hlmplg/handlers.h"
#include "hlmplg/interface.h"
#include "hlmplg/interface_ids.h"
#include "hlmplg/plugin.h"
#include "hlmplg/serializable.h"
#include "hlmplg/service.h"
