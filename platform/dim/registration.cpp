#include "platform/dim/registration.h"

#include <unistd.h>

#include <cstdio>

#include "platform/dim/peer_address.h"
#include "platform/dim/runtime.h"

namespace dim {

namespace {
constexpr auto kRetry = std::chrono::milliseconds(1000);
// A name server that has just started asks newcomers to wait for returning servers.
constexpr auto kRetrySoon = std::chrono::milliseconds(250);
}  // namespace

Registration::Registration(asio::io_context &net, RegistrationOwner &owner, NameServerAddress where,
                           bool several)
    : net_(net),
      owner_(owner),
      where_(std::move(where)),
      which_(several ? "the name server " + where_.text() : "the name server"),
      connector_(net),
      answer_timer_(net),
      retry_timer_(net),
      entry_retry_timer_(net) {}

void Registration::start() {
  if (stopped_ || registering_ || registered_ || owner_.ended()) return;
  registering_ = true;
  const std::string where = where_.text();
  const uint64_t attempt = connector_.start(
      where_.node, where_.port, [this, where](auto socket, const std::string &error) {
        if (!socket) {
          lost(error);
          return;
        }
        const uint64_t connected = connector_.attempt();
        asio::error_code ignored;
        wire::RegisterMsg m;
        m.reclaim = owner_.was_registered();
        m.server = owner_.server_name();
        m.host = plain_address(socket->local_endpoint(ignored).address()).to_string();
        m.port = owner_.server_port();
        m.pid = static_cast<uint32_t>(::getpid());
        m.entries = owner_.entries();
        link_ = std::make_shared<Connection>(std::move(*socket), "name server " + where,
                                             Connection::Options{});
        link_->start([this](wire::Frame &&f) { on_frame(std::move(f)); },
                     [this, connected](const std::string &why) {
                       if (!connector_.current(connected)) return;  // we dropped it ourselves
                       lost(why.empty() ? "name server closed the link" : why);
                     });
        link_->send(wire::encode(m));
      });
  // A name server that accepts but never answers must not keep us waiting for ever.
  answer_timer_.expires_after(name_server_timeout());
  answer_timer_.async_wait([this, attempt](const asio::error_code &ec) {
    if (ec || !connector_.current(attempt) || !registering_) return;
    lost("the name server did not answer within " + std::to_string(name_server_timeout().count()) +
         " ms");
  });
}

void Registration::stop() {
  stopped_ = true;
  abandon();
  retry_timer_.cancel();
  entry_retry_timer_.cancel();
}

void Registration::announce(const wire::Entry &e) {
  // Frames keep their order, so an entry the registration already carried is harmless.
  if (link_ && link_->is_open()) link_->send(wire::encode_add_entry(e));
}

void Registration::on_frame(wire::Frame &&f) {
  if (f.kind() == wire::Kind::kRegisterReply) {
    auto r = wire::decode_register_reply(f);
    if (!r) {
      link_->close("malformed registration reply");
      return;
    }
    registering_ = false;
    answer_timer_.cancel();
    if (r->ok) {
      registered_ = true;
      accepted_once_ = true;
      reported_refusal_ = false;
      if (reported_lost_)
        std::fprintf(stderr, "dim: server %s registered with %s again\n",
                     owner_.server_name().c_str(), which_.c_str());
      reported_lost_ = false;
      owner_.registered(*this);
      return;
    }
    if (r->retry) {
      abandon();
      retry(kRetrySoon);
      return;
    }
    on_refused(r->text);
    return;
  }
  if (f.kind() == wire::Kind::kEntryRefused) {
    if (auto r = wire::decode_entry_refused(f))
      on_entry_refused(*r);
    else
      link_->close("malformed entry refusal");
    return;
  }
  if (f.kind() == wire::Kind::kEntryAccepted) {
    auto name = wire::decode_entry_accepted(f);
    if (!name) {
      link_->close("malformed entry acceptance");
      return;
    }
    if (refused_names_.erase(*name))
      std::fprintf(stderr, "dim: name %s registered with %s\n", wire::printable(*name).c_str(),
                   which_.c_str());
    return;
  }
  link_->close("unexpected frame kind " + std::to_string(static_cast<int>(f.kind())));
}

void Registration::on_refused(const std::string &why) {
  if (!accepted_once_ && owner_.newcomer()) {
    owner_.refused(*this, wire::printable(why));
    return;
  }
  // It has been serving: a refusal never ends it; it says so and keeps trying.
  if (!reported_refusal_)
    std::fprintf(stderr, "dim: server %s refused by %s: %s; retrying every second\n",
                 owner_.server_name().c_str(), which_.c_str(), wire::printable(why).c_str());
  reported_refusal_ = true;
  reported_lost_ = true;  // says so when it has its name again
  abandon();
  retry(kRetry);
}

void Registration::on_entry_refused(const wire::EntryRefusedMsg &r) {
  if (refused_names_.insert(r.name).second)
    std::fprintf(stderr, "dim: name %s refused by %s: %s; retrying every second\n",
                 wire::printable(r.name).c_str(), which_.c_str(), wire::printable(r.text).c_str());
  retry_refused_entries();
}

void Registration::retry_refused_entries() {
  if (entry_retry_armed_ || refused_names_.empty()) return;
  entry_retry_armed_ = true;
  entry_retry_timer_.expires_after(kRetry);
  entry_retry_timer_.async_wait([this](const asio::error_code &ec) {
    entry_retry_armed_ = false;
    if (ec) return;
    // While not registered the next registration carries every name anyway.
    if (registered_ && link_ && link_->is_open()) {
      for (const auto &name : refused_names_)
        if (auto kind = owner_.kind_of(name))
          link_->send(wire::encode_add_entry(wire::Entry{*kind, name}));
    }
    retry_refused_entries();
  });
}

void Registration::abandon() {
  connector_.abandon();  // whatever the abandoned attempt still has pending is ignored from now on
  registering_ = false;
  registered_ = false;
  answer_timer_.cancel();
  if (link_) {
    link_->drop();
    asio::post(net_, [keep = std::move(link_)] {});
    link_.reset();
  }
}

void Registration::lost(const std::string &why) {
  abandon();
  if (stopped_ || owner_.ended()) return;  // retrying cannot help; the refusal has been reported
  failed_once_ = true;
  const bool owner_reports = owner_.unreachable(*this, why);
  if (!owner_reports && !reported_lost_)
    std::fprintf(stderr, "dim: server %s lost %s (%s); retrying every second\n",
                 owner_.server_name().c_str(), which_.c_str(), why.c_str());
  reported_lost_ = true;
  retry(kRetry);
}

void Registration::retry(std::chrono::milliseconds after) {
  retry_timer_.expires_after(after);
  retry_timer_.async_wait([this](const asio::error_code &ec) {
    if (!ec) start();
  });
}

}  // namespace dim
