#ifndef KS_ASTREAMPRIVATE_H
#define KS_ASTREAMPRIVATE_H

#include "aStream.h"

// True for a live stream record (tag check); used by the link engine before
// it takes ownership of a caller's stream.
bool aStream_IsValid(aStreamRef stream);

#endif
