// Visibility and export macros of the plugin SDK.
//
// The project builds with hidden visibility; SDK classes and exceptions carry
// HLMPLG_API (default visibility) so that run-time type information is shared
// and dynamic_cast / catch work across the core and plugin modules.
#pragma once

#define HLMPLG_API __attribute__((visibility("default")))

// Declares a C entry point exported from a plugin or the core library.
#define HLMPLG_EXPORT extern "C" __attribute__((visibility("default")))
