#include "Output/LogCheck.hpp"

#include "Exception/Exception.hpp"
#include "Output/Logger.hpp"
#include "Util/File.hpp"
#include "Util/Paths.hpp"

namespace Vexlan::LogCheck {

void logcheck() {
    std::string dir = Paths::get(Paths::Key::LogDir);
    if (!FileUtils::is_directory(dir))
        throw Exception::create(Exception::Kinds::Generic, {{"message", Logger::find_progname() + ": the log directory “" + dir + "” does not exist."}});
}

}  // namespace Vexlan::LogCheck
