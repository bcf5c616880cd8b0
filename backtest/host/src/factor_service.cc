#include "velmora/factor_service.h"

#include <mutex>

#include "velmora/errors.h"

namespace velmora {

namespace {

std::mutex& instance_mutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<FactorService>& installed() {
  static std::shared_ptr<FactorService> service;
  return service;
}

}  // namespace

FactorService::~FactorService() = default;

void FactorService::get_factors_by_factor(const std::vector<std::string>& names,
                                          const std::optional<std::string>& start_date,
                                          const std::optional<std::string>& end_date,
                                          const std::function<void(QueryTable piece)>& consume) {
  std::optional<QueryTable> answer = get_factors(FactorSelection(names), start_date, end_date);
  if (answer && !answer->empty()) consume(std::move(*answer));
}

void FactorService::read_ahead(const std::vector<std::string>&, const std::optional<std::string>&,
                               const std::optional<std::string>&) {}

void FactorService::forget_read_ahead() {}

std::shared_ptr<FactorService> get_instance() {
  std::shared_ptr<FactorService> service;
  {
    std::lock_guard lock(instance_mutex());
    service = installed();
  }
  if (!service) throw NoFactorServiceError("no factor service is installed: call velmora::set_instance() first");
  return service;
}

std::shared_ptr<FactorService> set_instance(std::shared_ptr<FactorService> service) {
  std::lock_guard lock(instance_mutex());
  std::swap(installed(), service);
  return service;
}

ScopedFactorService::ScopedFactorService(std::shared_ptr<FactorService> service)
    : previous_(set_instance(std::move(service))) {}

ScopedFactorService::~ScopedFactorService() { set_instance(std::move(previous_)); }

}  // namespace velmora
