#include "ContactsImporter.h"
