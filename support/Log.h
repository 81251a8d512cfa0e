// The process-wide rolling log: "log/record.log" beside the host executable.
#ifndef VISTREC_SUPPORT_LOG_H
#define VISTREC_SUPPORT_LOG_H

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

// The logger, created on first use (thread-safe first use).
log4cplus::Logger& GetLogger();

// Log sites: VLOG_INFO("codec :" << name). The message parts are streamed in order; DEBUG lines
// are dropped by the logger's INFO level. Each line also hands over file, line and the calling
// function's full signature.
#define VLOG_AT(level, parts)                                                                   \
    do {                                                                                        \
        log4cplus::Logger& vlog_logger_ = GetLogger();                                          \
        if (vlog_logger_.isEnabledFor(level)) {                                                 \
            log4cplus::tostringstream& vlog_oss_ = log4cplus::detail::get_macro_body_oss();     \
            vlog_oss_ << parts;                                                                 \
            log4cplus::detail::macro_forced_log(vlog_logger_, level, vlog_oss_.str(), __FILE__, \
                                                __LINE__, __PRETTY_FUNCTION__);                 \
        }                                                                                       \
    } while (0)

#define VLOG_DEBUG(parts) VLOG_AT(log4cplus::DEBUG_LOG_LEVEL, parts)
#define VLOG_INFO(parts) VLOG_AT(log4cplus::INFO_LOG_LEVEL, parts)
#define VLOG_WARN(parts) VLOG_AT(log4cplus::WARN_LOG_LEVEL, parts)
#define VLOG_ERROR(parts) VLOG_AT(log4cplus::ERROR_LOG_LEVEL, parts)

// Log file settings.
constexpr long kLogMaxFileSize = 10485760;  // roll over at 10 MiB
constexpr int kLogMaxBackups = 10;
constexpr const char* kLogPattern = "|%D:%d{%Q}|%p|%t| %m%n";
constexpr const char* kLoggerName = "test.subtestof_filelog";
constexpr const char* kAppenderName = "file log test";

// Path of the log file: the executable's directory + "log/record.log".
std::string LogFilePath();

#endif
