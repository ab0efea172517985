// Pieces of the notification service that tests reach directly.
#pragma once

#include <string>

namespace kx_internal {

// Replaces the mail submission program (null restores the platform's
// "/usr/lib/sendmail"). Only tests call this, to catch mail in a stand-in.
void notify_set_mail_program(const char* path);

// The data text of an error event: program, number, message and
// additional text, one labelled line each.
std::string error_event_data(const std::string& program, int error_number,
                             const std::string& message, const std::string& additional);

}  // namespace kx_internal
