// File-system redirection control (interface id 12). Binds the system's
// redirection functions on first use; where binding fails every operation
// returns false.
#pragma once

#include <memory>
#include <string>

#include "hlmplg/wow64_fs_redir.h"
#include "services/redirection_functions.h"

namespace holm::services {

class CWow64FSRedir : public HlmPlg::IWow64FSRedir {
  public:
    // `systemDirectory` ends in one separator; `binder` finds the functions.
    CWow64FSRedir(std::u16string systemDirectory,
                  std::unique_ptr<holm::services::RedirectionBinder> binder);

    bool enableRedirection() override;
    bool disableRedirection() override;
    bool revertRedirection() override;

  private:
    // Loads the library and looks the functions up, once; a failed attempt is
    // tried again at the next call. A library without any of the functions
    // is unloaded at once.
    bool bind();

    std::unique_ptr<holm::services::RedirectionBinder> binder_;
    std::u16string systemDirectory_;
    std::unique_ptr<holm::services::RedirectionLibrary> library_;
    holm::services::RedirectionFunctions functions_;
    void* savedState_ = nullptr;
};

}  // namespace holm::services
