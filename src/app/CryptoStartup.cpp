#include "CryptoStartup.h"

#include "Prompts.h"

#include <algorithm>

namespace plombar::app {

std::string passwordQuestionText(const crypto::PasswordRequest& request) {
    std::string text = request.subject;
    if (request.previousWasWrong)
        text += "\nНеверный пароль, попробуйте ещё раз (попытка " + std::to_string(request.attempt) + " из " +
                std::to_string(crypto::kPasswordAttempts) + ")";
    return text;
}

GostModuleProblem describeGostModuleProblem(const crypto::GostRuntimeStatus& status) {
    GostModuleProblem problem;
    if (status.ready)
        return problem;
    problem.sentence =
        status.engineFound
            ? "Модуль ГОСТ для OpenSSL не удалось загрузить, поэтому подпись, проверка, шифрование и "
              "расшифровка недоступны: переустановите пакет libengine-gost-openssl "
              "(sudo apt install --reinstall libengine-gost-openssl)."
            : "Не найден модуль ГОСТ для OpenSSL, поэтому подпись, проверка, шифрование и расшифровка "
              "недоступны: установите пакет libengine-gost-openssl (sudo apt install "
              "libengine-gost-openssl).";
    // OpenSSL's errors come joined by "; ": one a line.
    const std::string& errors = status.openSslErrors;
    for (std::size_t start = 0; start < errors.size();) {
        const std::size_t end = std::min(errors.find("; ", start), errors.size());
        if (!problem.details.empty())
            problem.details += '\n';
        problem.details.append(errors, start, end - start);
        start = end + 2;
    }
    return problem;
}

bool reportGostRuntimeAtStart(Prompts& prompts) {
    const crypto::GostRuntimeStatus status = crypto::QueryGostRuntime();
    if (status.ready)
        return true;
    const GostModuleProblem problem = describeGostModuleProblem(status);
    prompts.showDetailedError(problem.sentence, problem.details);
    return false;
}

} // namespace plombar::app
