#include "scan/requests.h"

concurrent_queue<readReq*>* readRequests = nullptr;
concurrent_queue<hashReq*>* hashRequests = nullptr;
concurrent_queue<hashReq*>* readcmpRequests = nullptr;
concurrent_queue<hashReq*>* cmpRequests = nullptr;

const std::vector<unsigned char> GdummyHash;
