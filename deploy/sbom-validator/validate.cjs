// Validates CycloneDX 1.6 JSON SBOMs against the official schema, as
// CycloneDX's own library ships it, parses every licence expression in them
// as SPDX does, and requires the file each describes, found beside it by its
// file name, to have the hashes it states. Prints one line per file; exits 1
// when any fails.
//   node validate.cjs SBOM...
'use strict'
const crypto = require('node:crypto')
const fs = require('node:fs')
const path = require('node:path')
const { Validation } = require('@cyclonedx/cyclonedx-library')
const parseExpression = require('spdx-expression-parse')

function expressions (components) {
  return components.flatMap(component => [
    ...(component.licenses ?? []).filter(choice => choice.expression)
      .map(choice => choice.expression),
    ...expressions(component.components ?? [])])
}

async function check (file) {
  const text = fs.readFileSync(file, 'utf8')
  const bom = JSON.parse(text)
  if (bom.specVersion !== '1.6') {
    return `specVersion is ${bom.specVersion}, not 1.6`
  }
  const invalid = await new Validation.JsonStrictValidator('1.6').validate(text)
  if (invalid !== null) {
    return 'not valid against the CycloneDX 1.6 schema: ' + JSON.stringify(invalid)
  }
  for (const expression of expressions([bom.metadata.component, ...bom.components])) {
    try {
      parseExpression(expression)
    } catch (error) {
      return `licence expression "${expression}" is not SPDX: ${error.message}`
    }
  }
  const primary = bom.metadata.component
  const fileName = primary.properties.find(property =>
    property.name === 'bsi:component:filename').value
  const described = fs.readFileSync(path.join(path.dirname(file), fileName))
  for (const { alg, content } of primary.hashes) {
    const actual = crypto.createHash(alg.replace('-', '').toLowerCase())
      .update(described).digest('hex')
    if (actual !== content) {
      return `the ${alg} of ${fileName} beside it is ${actual}, not ${content}`
    }
  }
  return null
}

async function main (files) {
  if (files.length === 0) {
    console.error('usage: node validate.cjs SBOM...')
    return 2
  }
  let status = 0
  for (const file of files) {
    let failure
    try {
      failure = await check(file)
    } catch (error) {
      failure = error.message
    }
    console.log(failure === null ? `${file}: valid CycloneDX 1.6` : `${file}: INVALID: ${failure}`)
    status = failure === null ? status : 1
  }
  return status
}

main(process.argv.slice(2)).then(code => { process.exitCode = code })
