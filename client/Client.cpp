#include "client/Client.h"

List g_clients;
