#include "server/Server.h"

int main() {
  if (!ServerInit()) return 1;
  ServerRun();
  return 0;
}
