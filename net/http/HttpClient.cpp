// Both widths of the library are compiled here, so that every member of the
// templates is checked even where the program uses only the UTF-16 one.
#include "net/http/HttpClient.h"

namespace Kestor {
template class CHttpClientT<CHttpToolA, CHttpEncoderA>;
template class CHttpClientT<CHttpToolW, CHttpEncoderW>;
template class CHttpResponseT<CHttpToolA>;
template class CHttpResponseT<CHttpToolW>;
template class CHttpPostStatT<CHttpToolA>;
template class CHttpPostStatT<CHttpToolW>;
template class CHttpClientMapT<CHttpToolA>;
template class CHttpClientMapT<CHttpToolW>;
template class CHttpUrlAnalyzerT<CHttpToolA>;
template class CHttpUrlAnalyzerT<CHttpToolW>;
}  // namespace Kestor
