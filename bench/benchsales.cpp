#include "bench/benchsales.h"

namespace veldon::bench {

bool upload(DataSpace& space, int port, bool retail, long n) {
    std::string connection = Connection;
    std::string reply;
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    if (!retail) {
        Sale sale("26120" + std::to_string(5000000 + n));
        std::string key = sale.TPE(0) + "01";
        return space.CreateObject("lumora.demon", url)
            ->PutPSM13_SIN(sale.TPE, sale.TPS, sale.TRT, sale.TPSN, sale.TAC, sale.TDLV, reply,
                           connection, key);
    }
    // Of every twenty calls: 13 sales, 6 card approvals and 1 deleted line.
    RetailSale sale(n);
    auto object = space.CreateObject("VARNIK.MEM", url);
    if (n % 20 == 19) {
        return object->PUTSQL(sale.statements, reply, connection);
    }
    if (n % 3 == 2) {
        return object->putcard(sale.TCD, reply, connection);
    }
    std::string key = "T" + sale.TPE(0);
    return object->PutPSM13(sale.TPE, sale.TPS, sale.TRT, sale.TAC, reply, connection, key,
                            std::string("Y"));
}

}  // namespace veldon::bench
