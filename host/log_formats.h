// The filter's log lines, one definition for the core that writes them and the macOS adapter,
// whose unified log takes nothing but a string literal as a format (hence macros).
#pragma once

#define QUILLNEST_LOG_RULES_UPDATED "Rules updated: enabled=%{bool}d domains=%ld reset_flows=%ld"
#define QUILLNEST_LOG_SETTINGS_FAILED "Unable to apply filter settings: %s"
#define QUILLNEST_LOG_FILTER_STOPPED "Filter stopped: %ld"
#define QUILLNEST_LOG_BLOCKED_HOSTNAME "Blocked hostname: %{public}s"
#define QUILLNEST_LOG_BLOCKED_TLS_HOSTNAME "Blocked TLS hostname: %{public}s"
