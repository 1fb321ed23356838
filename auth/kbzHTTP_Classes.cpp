#include "auth/kbzHTTP_Classes.h"
