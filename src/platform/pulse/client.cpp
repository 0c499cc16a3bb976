#include "platform/pulse/client.h"

#include <pulse/def.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>

#include <string_view>

#include "platform/pulse/operation.h"
#include "platform/pulse/pulse_error.h"

namespace vantor::platform::pulse {
namespace {

// What an introspection callback hands back to the waiting caller.
template <typename T>
struct Reply {
  Mainloop* loop;
  bool done = false;
  bool ok = false;
  T value{};

  void finish(bool success) {
    done = true;
    ok = success;
    loop->signal();
  }
};

struct Defaults {
  std::string source, sink;
};

}  // namespace

std::unique_ptr<Client> Client::connect(const std::string& name, const std::string& server,
                                        const char* threadName) {
  std::unique_ptr<Client> client(new Client(threadName));
  Locked locked(client->loop_);
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, name.c_str());
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "com.vantor");
  client->context_ = pa_context_new_with_proplist(client->loop_.api(), name.c_str(), props);
  pa_proplist_free(props);
  if (!client->context_) throw pulseError(PA_ERR_INTERNAL, "Cannot create a sound server connection");

  pa_context_set_state_callback(
      client->context_, [](pa_context*, void* loop) { static_cast<Mainloop*>(loop)->signal(); }, &client->loop_);
  // Never spawn a daemon: without a server there is simply no sound.
  if (pa_context_connect(client->context_, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                         nullptr) < 0)
    throw pulseError(client->lastError(), "Cannot connect to the sound server");
  pa_context* context = client->context_;
  bool settled = client->loop_.wait(
      [context] {
        pa_context_state_t s = pa_context_get_state(context);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
      },
      kServerTimeout);
  if (!settled) throw pulseError(PA_ERR_TIMEOUT, "Cannot connect to the sound server");
  if (pa_context_get_state(context) != PA_CONTEXT_READY)
    throw pulseError(client->lastError(), "Cannot connect to the sound server");
  return client;
}

Client::~Client() {
  if (!context_) return;
  Locked locked(loop_);
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
}

bool Client::connected() {
  Locked locked(loop_);
  return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

int Client::lastError() const {
  int code = pa_context_errno(context_);
  return code == PA_OK ? PA_ERR_UNKNOWN : code;
}

namespace {

// With the lock held: waits for `reply` to `op`; throws when it fails or
// does not come.
template <typename T>
void await(Client& client, Reply<T>& reply, pa_operation* sent, const char* what) {
  Operation op(sent);
  if (!op.sent()) throw pulseError(client.lastError(), what);
  if (!client.mainloop().wait([&] { return reply.done || !op.running(); }, kServerTimeout))
    throw pulseError(PA_ERR_TIMEOUT, what);
  if (!reply.ok) throw pulseError(client.lastError(), what);
}

}  // namespace

std::string Client::defaultName(bool source) {
  Locked locked(loop_);
  Reply<Defaults> reply{&loop_};
  auto answer = [](pa_context*, const pa_server_info* info, void* userdata) {
    auto* r = static_cast<Reply<Defaults>*>(userdata);
    if (info) {
      if (info->default_source_name) r->value.source = info->default_source_name;
      if (info->default_sink_name) r->value.sink = info->default_sink_name;
    }
    r->finish(info != nullptr);
  };
  await(*this, reply, pa_context_get_server_info(context_, answer, &reply), "Cannot ask the sound server");
  const std::string& name = source ? reply.value.source : reply.value.sink;
  if (name.empty())
    throw pulseError(PA_ERR_NOENTITY, source ? "There is no default audio input" : "There is no default audio output");
  return name;
}

SourceDetails Client::source(const std::string& name) {
  Locked locked(loop_);
  Reply<SourceDetails> reply{&loop_};
  auto answer = [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* r = static_cast<Reply<SourceDetails>*>(userdata);
    if (eol == 0 && info) {
      const char* master = pa_proplist_gets(info->proplist, PA_PROP_DEVICE_MASTER_DEVICE);
      r->value = {info->name, info->sample_spec.rate, info->sample_spec.channels,
                  info->monitor_of_sink != PA_INVALID_INDEX && info->monitor_of_sink_name ? info->monitor_of_sink_name : "",
                  master ? master : ""};
      return;
    }
    r->finish(eol > 0 && !r->value.name.empty());
  };
  await(*this, reply, pa_context_get_source_info_by_name(context_, name.c_str(), answer, &reply),
        "Cannot find the audio input");
  return reply.value;
}

SourceDetails Client::defaultSource() { return source(defaultName(true)); }

SinkDetails Client::defaultSink() { return sink(defaultName(false)); }

SinkDetails Client::sink(const std::string& name) {
  Locked locked(loop_);
  Reply<SinkDetails> reply{&loop_};
  auto answer = [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* r = static_cast<Reply<SinkDetails>*>(userdata);
    if (eol == 0 && info) {
      r->value = {info->name, info->monitor_source_name ? info->monitor_source_name : "",
                  info->driver && std::string_view(info->driver).starts_with("module-null-sink"),
                  info->state == PA_SINK_SUSPENDED};
      return;
    }
    r->finish(eol > 0 && !r->value.monitorSource.empty());
  };
  await(*this, reply, pa_context_get_sink_info_by_name(context_, name.c_str(), answer, &reply),
        "Cannot find the audio output");
  return reply.value;
}

void Client::wakeNullSink(const std::string& name) {
  SinkDetails details = sink(name);
  if (!details.isNullSink || details.suspended) return;
  Locked locked(loop_);
  for (int suspend : {1, 0}) {
    Reply<int> reply{&loop_};
    auto answer = [](pa_context*, int success, void* userdata) { static_cast<Reply<int>*>(userdata)->finish(success); };
    await(*this, reply, pa_context_suspend_sink_by_name(context_, name.c_str(), suspend, answer, &reply),
          "Cannot suspend the audio output");
  }
}

}  // namespace vantor::platform::pulse
