#pragma once
// The errors a person is shown, in the panel's error log: the identifier on the screen or in
// a record leads to one time-stamped entry there.
#include <string>

#include "Exception/Exception.hpp"

namespace Vexlan::ErrorLog {

// Logs the error, identifier and all, at the error level, once per identifier and process
// (an error shown twice is one event). Never on a stream: the caller shows it its own way.
// `shown` is the text as the person reads it, when that says more than the error alone.
void record(const Exception::Base& e, const std::string& shown = {});

// Test hook: forget which identifiers were logged.
void forget();

}  // namespace Vexlan::ErrorLog
