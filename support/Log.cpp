#include "support/Log.h"

#include <memory>

#include <log4cplus/fileappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>

#include "platform/Platform.h"

namespace {

// log4cplus set up for the process, the rolling file appender and the logger handle. Members
// are destroyed in reverse order, so the handle and the appender go before log4cplus shuts
// down (which closes the file).
struct LogState {
    log4cplus::Initializer initializer;
    log4cplus::SharedAppenderPtr appender;
    log4cplus::Logger logger;

    LogState() {
        // The "log" folder is not created: without it log4cplus reports the failure through
        // its own diagnostics and the lines are lost.
        appender =
            new log4cplus::RollingFileAppender(LogFilePath(), kLogMaxFileSize, kLogMaxBackups,
                                               /*immediateFlush=*/true,
                                               /*createDirs=*/false);
        appender->setName(kAppenderName);
        appender->setLayout(
            std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(kLogPattern)));
        logger = log4cplus::Logger::getInstance(kLoggerName);
        logger.addAppender(appender);
        logger.setLogLevel(log4cplus::INFO_LOG_LEVEL);
    }
};

}  // namespace

std::string LogFilePath() {
    return vistrec::platform::ExecutableDir() + "log/record.log";
}

log4cplus::Logger& GetLogger() {
    // Created on the first log site reached, whichever thread that is. It lives until static
    // destruction, so nothing may log after exit() has begun tearing statics down, except
    // objects that were themselves constructed before the first log line.
    static LogState state;
    return state.logger;
}
