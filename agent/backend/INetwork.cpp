#include "backend/INetwork.h"

INetwork::INetwork(QObject* parent) : Network(parent) {}

QNetworkReply* INetwork::get(QNetworkRequest& request)
{
    return Network::get(request);
}
