#pragma once

// Owners of ldns objects, freed the way ldns frees each.

#include <ldns/ldns.h>

#include <memory>

namespace Zelm::DnsSd::Unicast {

struct PacketFree {
    void operator()(ldns_pkt* packet) const { ldns_pkt_free(packet); }
};
struct RdfFree {
    void operator()(ldns_rdf* rdf) const { ldns_rdf_deep_free(rdf); }
};
struct RrListFree {
    void operator()(ldns_rr_list* list) const { ldns_rr_list_deep_free(list); }
};
using Packet = std::unique_ptr<ldns_pkt, PacketFree>;
using Rdf = std::unique_ptr<ldns_rdf, RdfFree>;
using RrList = std::unique_ptr<ldns_rr_list, RrListFree>;

}  // namespace Zelm::DnsSd::Unicast
