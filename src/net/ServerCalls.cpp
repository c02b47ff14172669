// The exchange and the download as the program runs them: each on a worker
// under the wait, with the worker's own copies of the call's records.
#include "net/ServerCalls.h"

#include <memory>
#include <utility>

namespace quon {
namespace {

constexpr char kNoAnswerInTime[] =
    "The update server has not answered for nearly ten minutes. The request was abandoned.";
constexpr char kNoDataInTime[] =
    "No data has arrived from the update server for nearly ten minutes. The download was abandoned.";

// Runs a server call's worker under the wait dialog. The worker has its own
// copies; the caller's fields are written only here, after the dialog, and
// only from a worker that finished. When the time limit ended the wait, the
// user is told so here, once, on the caller's thread, whether or not the
// call is silent: it is the wait that ended, not the exchange.
int RunServerCall(NetEnvironment& env, WaitForm form, const std::shared_ptr<InternetCallArgs>& args, FieldMap& fields,
                  WaitProcedure procedure) {
  WaitEnd end = WaitEnd::Cancelled;
  int result = env.wait.RunUnderWait(form, std::move(procedure), env.waitTimerIntervalMs, &end);
  if (end == WaitEnd::Finished) {
    fields = std::move(args->fields);
  } else {
    fields.Clear();
  }
  if (end == WaitEnd::TimeLimit) env.prompts.MessageBox(form == WaitForm::Progress ? kNoDataInTime : kNoAnswerInTime);
  return result;
}

}  // namespace

int CallServer(NetEnvironment& env, const ServerCall& call, FieldMap& fields, uint32_t* errorOut) {
  if (errorOut) *errorOut = 0;
  auto args = std::make_shared<InternetCallArgs>();
  args->call = call;
  args->fields = fields;
  HttpClient* http = &env.http;
  UserPrompts* prompts = &env.prompts;
  int result = RunServerCall(env, WaitForm::Plain, args, fields,
                             [args, http, prompts, owner = env.owner](ProgressDisplay*, const CancelFlag& cancel) {
                               return RunDirectCall(*http, *prompts, *args, &cancel);
                             });
  if (errorOut) *errorOut = args->error.load();
  return result;
}

int DownloadToFile(NetEnvironment& env, const ServerCall& call, FieldMap& fields, std::string filePath,
                   ReplyCheck acceptReply) {
  auto args = std::make_shared<InternetCallArgs>();
  args->call = call;
  args->fields = fields;
  args->filePath = std::move(filePath);
  args->options.retry = env.downloadRetry;
  args->options.acceptReply = std::move(acceptReply);
  HttpClient* http = &env.http;
  UserPrompts* prompts = &env.prompts;
  return RunServerCall(env, WaitForm::Progress, args, fields,
                       [args, http, prompts, owner = env.owner](ProgressDisplay* progress, const CancelFlag& cancel) {
                         return RunFileCall(*http, *prompts, *args, progress, &cancel);
                       });
}

}  // namespace quon
