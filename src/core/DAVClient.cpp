#include "DAVClient.h"
