// The server calls as the program makes them: the exchange and the
// download, each on a worker under the wait dialog, with the worker's own
// copies of the call's records (ServerExchange.h runs them on the calling
// thread).
#pragma once
#include <cstdint>
#include <string>

#include "net/FieldMap.h"
#include "net/ServerExchange.h"

namespace quon {

// The exchange on a worker under the plain wait dialog. The worker works on
// copies; `fields` gets the reply fields only when the worker finished
// before the dialog ended (else it is left empty), `errorOut` whatever error
// code the worker had stored by then. Returns 0 when the time limit ended
// the dialog, after telling the user so (even for a silent call).
int CallServer(NetEnvironment& env, const ServerCall& call, FieldMap& fields, uint32_t* errorOut);

// The download on a worker under the progress form of the wait dialog, its
// retries (env.downloadRetry) under the same dialog. Cancel or the time
// limit (no data for ten timer ticks) return 0 at once, during a pause
// between attempts too; the file stays as far as it was written, and
// nothing is written to it afterwards. The time limit is told to the user,
// Cancel is not. `acceptReply`, when given, may refuse the file reply on
// its header fields (on the worker thread): 0 then, nothing written,
// nothing shown, and `fields` holds the refused reply's fields.
int DownloadToFile(NetEnvironment& env, const ServerCall& call, FieldMap& fields, std::string filePath,
                   ReplyCheck acceptReply = nullptr);

}  // namespace quon
