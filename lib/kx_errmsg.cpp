#include "kx_errno.h"

int kx_errno = 0;
