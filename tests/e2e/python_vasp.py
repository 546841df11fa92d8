#!/usr/bin/env python3
"""A VASP as Python's standard library writes one: the SubmitReq's multipart/related built by
the email package, sent with http.client, the answer read with ElementTree.

python_vasp.py PORT NAMESPACE MM7VERSION TRANSACTION_ID SUBMITREQ_ELEMENTS
SUBMITREQ_ELEMENTS: the XML inside SubmitReq after MM7Version and before Content, in the
request's namespace.  Prints one line: the HTTP status, the content type, then the answer's
document element, its namespace, MM7Version, StatusCode and the TransactionID's namespace and
text."""
import http.client
import io
import sys
import xml.etree.ElementTree as ET
from email import encoders, policy
from email.generator import BytesGenerator
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

port, ns, version, tid, elements = sys.argv[1:6]
envelope = (
    '<?xml version="1.0" encoding="UTF-8"?>\n'
    '<soap:Envelope xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/">'
    '<soap:Header><mm7:TransactionID xmlns:mm7="%s" soap:mustUnderstand="1">%s'
    '</mm7:TransactionID></soap:Header><soap:Body><SubmitReq xmlns="%s">'
    '<MM7Version>%s</MM7Version>%s<Content href="cid:content@vasp" allowAdaptations="1"/>'
    '</SubmitReq></soap:Body></soap:Envelope>' % (ns, tid, ns, version, elements))

request = MIMEMultipart('related', type='text/xml', start='<soap@vasp>')
soap = MIMEText(envelope, 'xml', 'us-ascii')
soap.add_header('Content-ID', '<soap@vasp>')
content = MIMEMultipart('related', type='application/smil', start='<smil@vasp>')
content.add_header('Content-ID', '<content@vasp>')
smil = MIMEApplication(b'<smil><body><par><text src="cid:t@vasp"/></par></body></smil>',
                       'smil', _encoder=encoders.encode_7or8bit)
smil.add_header('Content-ID', '<smil@vasp>')
text = MIMEText('Hello from Python', 'plain', 'us-ascii')
text.add_header('Content-ID', '<t@vasp>')
content.attach(smil)
content.attach(text)
request.attach(soap)
request.attach(content)

out = io.BytesIO()
BytesGenerator(out, policy=policy.HTTP).flatten(request)
body = out.getvalue().split(b'\r\n\r\n', 1)[1]
connection = http.client.HTTPConnection('127.0.0.1', int(port), timeout=30)
connection.request('POST', '/mm7', body, {'Content-Type': request['Content-Type'],
                                          'SOAPAction': '""'})
response = connection.getresponse()
answer = response.read()
fields = [str(response.status), response.getheader('Content-Type', '-')]
try:
    root = ET.fromstring(answer)
    body_element = root.find('{http://schemas.xmlsoap.org/soap/envelope/}Body')
    document = next(e for e in body_element.iter() if e.tag.endswith(('SubmitRsp', 'RSErrorRsp')))
    doc_ns, name = document.tag[1:].split('}')
    header_tid = next(e for e in root.iter() if e.tag.endswith('}TransactionID'))
    fields += [name, doc_ns,
               document.findtext('{%s}MM7Version' % doc_ns, '-'),
               document.findtext('{%s}Status/{%s}StatusCode' % (doc_ns, doc_ns), '-'),
               header_tid.tag[1:].split('}')[0], header_tid.text or '-']
except (ET.ParseError, StopIteration, AttributeError):
    fields.append('not-mm7:' + answer.decode('utf-8', 'replace'))
print(' '.join(fields))
