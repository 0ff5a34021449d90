// The plugin SDK: include this one header to build a plugin.
#pragma once

#include "hlmplg/data_list.h"
#include "hlmplg/export.h"
#include "hlmplg/interface.h"
#include "hlmplg/interface_ids.h"
#include "hlmplg/key_value_list.h"
#include "hlmplg/list_format.h"
#include "hlmplg/serializable.h"
#include "hlmplg/serializable_list.h"
#include "hlmplg/string_list.h"
#include "hlmplg/sync_read_write.h"
#include "hlmplg/wow64_fs_redir.h"
