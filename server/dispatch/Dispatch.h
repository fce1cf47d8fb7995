// The two request handlers: a complete request in, exactly one answer out.
#pragma once

#include "server/core/ServerLink.h"

namespace zevra {

void HandleGetRequest(ConnId conn);
void HandlePostRequest(ConnId conn);

}  // namespace zevra
