// The notification service's mail program, replaceable for tests.
#pragma once

namespace kx_internal {

// Replaces the mail submission program (null restores the platform's
// "/usr/lib/sendmail"). Only tests call this, to catch mail in a stand-in.
void notify_set_mail_program(const char* path);
}  // namespace kx_internal
