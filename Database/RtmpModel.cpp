#include "Database/RtmpModel.h"

// Placeholder until the model commands land: no reply.
int RtmpModelCommand(RtmpConnection*, const AmfObject*, int) { return 1; }
