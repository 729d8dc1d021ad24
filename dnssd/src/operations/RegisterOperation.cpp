#include "RegisterOperation.h"

#include "AvahiTxt.h"
#include "ErrorCodes.h"
#include "LocalServiceNames.h"
#include "ServiceNames.h"

#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <memory>

namespace Zelm::DnsSd {

namespace {

// Names tried for one registration before it fails; the daemon's alternative
// names ("Name #2", "Name #3", ...) are cheap to try.
constexpr int kRenameAttempts = 64;

struct StringListDeleter {
    void operator()(AvahiStringList* list) const { avahi_string_list_free(list); }
};
using StringList = std::unique_ptr<AvahiStringList, StringListDeleter>;

}  // namespace

RegisterOperation::RegisterOperation(Request request, DNSServiceRegisterReply callBack, void* context)
    : request_(std::move(request)), callBack_(callBack), context_(context) {}

RegisterOperation::~RegisterOperation() = default;

int RegisterOperation::start(const DaemonContext& context) {
    client_ = context.client;
    sink_ = context.sink;
    if (request_.name.empty()) {
        const char* hostName = avahi_client_get_host_name(client_);
        if (hostName == nullptr) {
            return avahi_client_errno(client_);
        }
        request_.name = hostName;
    }
    group_ = avahi_entry_group_new(client_, &RegisterOperation::onGroupState, this);
    if (group_ == nullptr) {
        return avahi_client_errno(client_);
    }
    const int error = publish();
    if (error != AVAHI_OK) {
        stop();
    }
    return error;
}

bool RegisterOperation::daemonLost() {
    if (!confirmed_) {
        ended_ = true;
        postFailure(kDNSServiceErr_ServiceNotRunning);
        return false;
    }
    // The group belongs to the dead connection: freeing it is local. The
    // name stays claimed in the process for the publication to come.
    if (group_ != nullptr) {
        avahi_entry_group_free(group_);
        group_ = nullptr;
    }
    published_ = false;
    republish_ = false;
    away_ = true;
    return true;
}

int RegisterOperation::resume(const DaemonContext& context) {
    client_ = context.client;
    away_ = false;
    if (gaveUp_) {
        return AVAHI_OK;  // withdrawn after a conflict; stays so
    }
    group_ = avahi_entry_group_new(client_, &RegisterOperation::onGroupState, this);
    const int error = group_ != nullptr ? publish() : avahi_client_errno(client_);
    if (error != AVAHI_OK) {
        postFailure(failureFromAvahiError(error));
    }
    return error;
}

void RegisterOperation::stop() {
    if (group_ != nullptr) {
        // Freeing the group withdraws the service from the network.
        avahi_entry_group_free(group_);
        group_ = nullptr;
    }
    published_ = false;
    releaseName();
}

bool RegisterOperation::claimName() {
    releaseName();
    claimed_ = LocalServiceNames::claim(request_.name, request_.type, request_.domain);
    return claimed_;
}

void RegisterOperation::releaseName() {
    if (claimed_) {
        LocalServiceNames::release(request_.name, request_.type, request_.domain);
        claimed_ = false;
    }
}

int RegisterOperation::publish() {
    bool ok = true;
    const StringList txt(toPublishedList(request_.txt, ok));
    if (!ok) {
        return AVAHI_ERR_NO_MEMORY;
    }
    for (int attempt = 0; attempt < kRenameAttempts; ++attempt) {
        avahi_entry_group_reset(group_);
        int error =
            !claimName()
                ? AVAHI_ERR_COLLISION
                : avahi_entry_group_add_service_strlst(
                      group_, request_.interface, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
                      request_.name.c_str(), request_.type.c_str(), domainOrNull(),
                      request_.host.empty() ? nullptr : request_.host.c_str(), request_.port, txt.get());
        if (error == AVAHI_ERR_COLLISION) {
            releaseName();
            if (!request_.autoRename) {
                conflict();
                return AVAHI_OK;
            }
            rename();
            continue;
        }
        for (const std::string& subtype : request_.subtypes) {
            if (error != AVAHI_OK) {
                break;
            }
            error = avahi_entry_group_add_service_subtype(
                group_, request_.interface, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
                request_.name.c_str(), request_.type.c_str(), domainOrNull(),
                subtypeName(subtype, request_.type).c_str());
        }
        if (error == AVAHI_OK) {
            error = avahi_entry_group_commit(group_);
        }
        if (error != AVAHI_OK) {
            avahi_entry_group_reset(group_);
            releaseName();
            return error;
        }
        published_ = true;
        return AVAHI_OK;
    }
    return AVAHI_ERR_COLLISION;
}

void RegisterOperation::conflict() {
    avahi_entry_group_reset(group_);
    published_ = false;
    releaseName();
    gaveUp_ = true;
    postFailure(kDNSServiceErr_NameConflict);
}

void RegisterOperation::rename() {
    releaseName();
    char* alternative = avahi_alternative_service_name(request_.name.c_str());
    if (alternative != nullptr) {
        request_.name = alternative;
        avahi_free(alternative);
    }
}

void RegisterOperation::onGroupState(AvahiEntryGroup*, AvahiEntryGroupState state, void* userdata) {
    withoutThrowing([&] {
        auto* self = static_cast<RegisterOperation*>(userdata);
        if (self->group_ == nullptr) {
            return;  // still inside avahi_entry_group_new
        }
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                self->confirmed_ = true;
                self->postRegistered();
                break;
            case AVAHI_ENTRY_GROUP_COLLISION:
                // Another host claims the name.
                if (!self->request_.autoRename) {
                    self->conflict();
                    break;
                }
                self->rename();
                if (const int error = self->publish(); error != AVAHI_OK) {
                    self->published_ = false;
                    self->postFailure(failureFromAvahiError(error));
                }
                break;
            case AVAHI_ENTRY_GROUP_FAILURE: {
                self->published_ = false;
                self->releaseName();
                self->postFailure(failureFromAvahiError(avahi_client_errno(self->client_)));
                break;
            }
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING:
                break;
        }
    });
}

void RegisterOperation::daemonStateChanged(AvahiClientState state) {
    // While the daemon settles a new host name its services must wait, and
    // they come back under it: withdraw, then publish again once it runs.
    if ((state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) && published_) {
        avahi_entry_group_reset(group_);
        published_ = false;
        republish_ = true;
    } else if (state == AVAHI_CLIENT_S_RUNNING && republish_) {
        republish_ = false;
        if (const int error = publish(); error != AVAHI_OK) {
            postFailure(failureFromAvahiError(error));
        }
    }
}

int RegisterOperation::updateTxt(std::vector<std::string> txt) {
    request_.txt = std::move(txt);
    if (away_ || ended_) {
        return AVAHI_ERR_DISCONNECTED;
    }
    if (gaveUp_) {
        return AVAHI_ERR_BAD_STATE;
    }
    if (!published_) {
        return AVAHI_OK;  // the next publish() carries the new record
    }
    bool ok = true;
    const StringList list(toPublishedList(request_.txt, ok));
    if (!ok) {
        return AVAHI_ERR_NO_MEMORY;
    }
    return avahi_entry_group_update_service_txt_strlst(
        group_, request_.interface, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
        request_.name.c_str(), request_.type.c_str(), domainOrNull(), list.get());
}

void RegisterOperation::postRegistered() {
    const char* domain =
        request_.domain.empty() ? avahi_client_get_domain_name(client_) : request_.domain.c_str();
    sink_->post([callBack = callBack_, context = context_, name = request_.name,
                 type = withTrailingDot(request_.type),
                 domain = withTrailingDot(domain != nullptr ? domain : "local")](DNSServiceRef ref,
                                                                                 DNSServiceFlags more) {
        callBack(ref, kDNSServiceFlagsAdd | more, kDNSServiceErr_NoError, name.c_str(), type.c_str(),
                 domain.c_str(), context);
    });
}

void RegisterOperation::postFailure(DNSServiceErrorType code) {
    const char* domain =
        request_.domain.empty() ? avahi_client_get_domain_name(client_) : request_.domain.c_str();
    sink_->post([callBack = callBack_, context = context_, code, name = request_.name,
                 type = withTrailingDot(request_.type),
                 domain = withTrailingDot(domain != nullptr ? domain : "local")](DNSServiceRef ref,
                                                                                 DNSServiceFlags more) {
        callBack(ref, more, code, name.c_str(), type.c_str(), domain.c_str(), context);
    });
}

}  // namespace Zelm::DnsSd
