// Implementations of both framework interfaces that record every call (see record.h)
// and answer with a text naming the call, so a test can see that each operation
// arrived at the right slot with its arguments intact. Every operation throws what
// VEXA_TEST_OPERATION_THROW describes, when it is set (see throw_described.h).
#pragma once

#include "interfaces/client_api_interface.h"
#include "interfaces/provider_catalog_api_interface.h"

Vexa::Proxy::ClientApi* NewRecordingClientApi();
void DeleteRecordingClientApi(Vexa::Proxy::ClientApi* api);

Vexa::Proxy::ProviderCatalogApi* NewRecordingProviderCatalogApi();
void DeleteRecordingProviderCatalogApi(Vexa::Proxy::ProviderCatalogApi* api);
