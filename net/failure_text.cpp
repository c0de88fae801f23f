#include "net/failure_text.h"

const wchar_t* failure_text(Preparation outcome) {
    switch (outcome) {
    case Preparation::Ready:
        return nullptr;
    case Preparation::ManifestUnreadable:
        return L"无法读取安装包下载地址";
    case Preparation::SizeUnknown:
        return L"无法获取安装包大小";
    case Preparation::FreeSpaceUnknown:
        return L"无法读取磁盘剩余空间";
    }
    return nullptr;
}

const wchar_t* failure_text(Transfer outcome) {
    switch (outcome) {
    case Transfer::Completed:
    case Transfer::Cancelled:
        return nullptr;
    case Transfer::ConnectionFailed:
        return L"无法连接安装包下载服务器";
    case Transfer::FileFailed:
        return L"无法在程序目录创建安装包文件";
    case Transfer::Interrupted:
        return L"安装包下载中断，未完成的文件已删除。";
    }
    return nullptr;
}
