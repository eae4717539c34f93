#ifndef NORVESSA_MIDDLEWARE_PAGINATE_H_
#define NORVESSA_MIDDLEWARE_PAGINATE_H_

#include <functional>

#include "framework/api_callback.h"

namespace norvessa {

ApiCallback Paginate();

// With the header X-Paginate exactly "true", a JSON array answer becomes
// {"docs": [...], "total", "limit", "page", "pages"} for the query's
// "limit" (25) and "page" (1). Any trouble with the figures leaves the
// answer alone; a malformed query fails the request.
void PaginateMiddleware(ApiRequest& request, ApiResponse& response,
                        const std::function<void()>& next);

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_PAGINATE_H_
